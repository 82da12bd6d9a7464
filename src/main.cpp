#include "accept.h"
#include "access.h"
#include "common.h"
#include "http_side.h"
#include "libusb1_common.h"
#include "listeners.h"
#include "tarvex_log.h"
#include "list_tarvex.h"
#include "options.h"
#include "service_notify.h"
#include "result_codes.h"
#include "signal_handler.h"
#include "tarvex_api.h"
#include "tarvex_wire.h"
#include "test_timing.h"

int main(int argc, char *argv[])
{
    log_init();
    init_sockinfo(tarvex_wire::DEFAULT_PORT_TEXT);
    if (!install_ctrl_handler())
        LOG_ERROR("Cannot install signal handler");
    parse_cmdline_args(nullptr, argc, argv);
    timing_load();
    if (access_options_bad())
        return TARVEX_EXIT_BAD_ACCESS;

    raise_descriptor_limit();
    LOG_DEBUG("create_listening_sockets");
    if (!create_listening_sockets())
        return TARVEX_EXIT_NO_LISTENER;
    char listening[512];
    bool beyond_loopback = listeners_describe(listening, sizeof(listening));
    if (access_start(beyond_loopback, listening) != 0) {
        listeners_remove_unix();
        return TARVEX_EXIT_BAD_ACCESS;
    }
    if (http_side_start() != 0) {
        listeners_remove_unix();
        return TARVEX_EXIT_NO_LISTENER;
    }
    if (tarvex_libusb_init() != 0) {
        LOG_ERROR("Cannot initialize libusb_init");
        return TARVEX_EXIT_NO_USB;
    }
    tarvex_init();
    notify_ready(static_cast<unsigned>(list_count(&tarvex_usb_list)));

    LOG_DEBUG("non_blocking_accept_main");
    non_blocking_accept_main();
    LOG_DEBUG("destroy_listening_sockets");
    destroy_listening_sockets();
    listeners_remove_unix();
    LOG_DEBUG("tarvex_libusb_exit");
    tarvex_libusb_exit();
    http_side_stop();
    return TARVEX_EXIT_DONE;
}
