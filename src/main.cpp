#include "accept.h"
#include "common.h"
#include "libusb1_common.h"
#include "log.h"
#include "options.h"
#include "signal_handler.h"
#include "tarvex_api.h"
#include "test_timing.h"

int main(int argc, char *argv[])
{
    log_init();
    init_sockinfo("7184");
    if (!install_ctrl_handler())
        LOG_ERROR("Cannot install signal handler");
    parse_cmdline_args(nullptr, argc, argv);
    timing_load();

    LOG_DEBUG("create_listening_sockets");
    if (!create_listening_sockets())
        return -4;
    if (tarvex_libusb_init() != 0) {
        LOG_ERROR("Cannot initialize libusb_init");
        return -3;
    }
    tarvex_init();

    LOG_DEBUG("non_blocking_accept_main");
    non_blocking_accept_main();
    LOG_DEBUG("destroy_listening_sockets");
    destroy_listening_sockets();
    LOG_DEBUG("tarvex_libusb_exit");
    tarvex_libusb_exit();
    return 0;
}
