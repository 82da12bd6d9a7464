// Arbitrary requests into the request dispatcher, as one client's receives.
// Run plainly it meets an empty probe registry; run under tarvex-vprobe
// --fast it meets virtual probes through the real libusb.
#include <sys/socket.h>
#include <unistd.h>

#include <cstdint>
#include <cstdlib>
#include <cstring>

#include "libusb1_common.h"
#include "tarvex_log.h"
#include "probe_hold.h"
#include "sock_info.h"
#include "tarvex_api.h"
#include "tarvex_connection.h"
#include "tarvex_tcp_cmd.h"

namespace
{

_sock_info *client;

// The client socket's peer is closed: replies sent directly fail, and a
// memory write waiting for more data sees the end of the connection.
_sock_info *make_client()
{
    _sock_info *c = alloc_sock_info();
    int pair[2];
    if (c == nullptr || socketpair(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0, pair) != 0)
        return nullptr;
    close(pair[1]);
    c->sock = pair[0];
    return c;
}

// What the event loop does when a client goes: its holds end and its
// associations are closed.
void release_associations()
{
    probe_hold_client_gone(client);
    tcp_cmd_release_next(client); // without workers each release runs at once
}

} // namespace

extern "C" int LLVMFuzzerInitialize(int *, char ***)
{
    // Every debug record is formatted (its arguments come from the input too)
    // and thrown away.
    log_init();
    handle_log_output_command("/dev/null");
    debug_level = LOG_LVL_DEBUG;
    if (tarvex_libusb_init() == 0)
        tarvex_init();
    client = make_client();
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    if (client == nullptr || size == 0)
        return 0;
    // As the event loop receives: at most 32767 bytes, followed by zeros.
    data_buffer &b = client->recd_data;
    memset(&b, 0, sizeof(b));
    size_t n = size < sizeof(b.buf) - 1 ? size : sizeof(b.buf) - 1;
    memcpy(b.buf, data, n);
    // "tarvex-exit" ends the process by design; it is not an input worth exploring.
    int keyword = tcp_cmd_find_keyword(reinterpret_cast<const char *>(b.buf));
    if (keyword >= 0 && strcmp(tcp_cmd_keyword(keyword), "tarvex-exit") == 0)
        return 0;
    int32_t answer = 0;
    process_tarvex_tcp_cmd(client, b.buf, b.buf, &answer, static_cast<int>(n));
    if (answer < 0 || answer > static_cast<int32_t>(sizeof(b.buf)))
        __builtin_trap(); // a reply longer than its buffer
    // A large read's data waits beside the buffer until the loop has sent it.
    free(b.extra);
    b.extra = nullptr;
    client->is_fd_close_recd = false;
    release_associations();
    return 0;
}
