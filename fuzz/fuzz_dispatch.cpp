// Arbitrary requests into the request dispatcher, as one client's receives,
// with the probe workers running: every probe operation goes to its
// probe's worker thread and comes back through the completion queue, as the
// event loop drives it. Run plainly it meets an empty probe registry; run
// under tarvex-vprobe --fast it meets virtual probes through the real libusb,
// and the client has the first probe open before its requests.
//
// An input is one request, or several separated by REQUEST_SEPARATOR.
#include <poll.h>
#include <sys/eventfd.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "libusb1_common.h"
#include "probe_hold.h"
#include "probe_worker.h"
#include "sock_info.h"
#include "tarvex_api.h"
#include "tarvex_log.h"
#include "tarvex_tcp_cmd.h"

namespace
{

constexpr char REQUEST_SEPARATOR[] = "\n--\n";
constexpr size_t SEPARATOR_LENGTH = sizeof(REQUEST_SEPARATOR) - 1;

_sock_info *client;
int done_fd = -1;

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

// Waits for the next job the workers hand back and finishes it; the client
// it belonged to must be `owner` (null: a job the server made itself, as
// the re-open of a probe a refresh found again).
void complete_one(const _sock_info *owner)
{
    probe_job *job;
    while ((job = probe_worker_next_done()) == nullptr) {
        struct pollfd p = {done_fd, POLLIN, 0};
        poll(&p, 1, -1);
        eventfd_t count;
        eventfd_read(done_fd, &count);
    }
    if (tcp_cmd_complete(job) != owner)
        __builtin_trap(); // a job came back to the wrong record
}

void complete_one()
{
    complete_one(client);
}

// One request as the loop presents it: at most 32767 bytes, followed by
// zeros; a request on a worker is waited for.
void present(const uint8_t *data, size_t size)
{
    data_buffer &b = client->recd_data;
    free(b.extra);
    memset(&b, 0, sizeof(b));
    size_t n = size < sizeof(b.buf) - 1 ? size : sizeof(b.buf) - 1;
    memcpy(b.buf, data, n);
    b.received = static_cast<uint32_t>(n);
    // "tarvex-exit" ends the process by design; it is not an input worth exploring.
    int keyword = tcp_cmd_find_keyword(reinterpret_cast<const char *>(b.buf));
    if (keyword >= 0 && strcmp(tcp_cmd_keyword(keyword), "tarvex-exit") == 0)
        return;
    tcp_cmd_outcome outcome = process_tarvex_tcp_cmd(client, b.buf, b.buf, &b.data_size, static_cast<int>(n));
    if (outcome == TCP_CMD_IN_FLIGHT)
        complete_one();
    else if (outcome == TCP_CMD_WAITS_IDLE && probe_worker_in_flight() == 0)
        __builtin_trap(); // a refresh waits for nothing
    // What is still in flight went out on the server's own account: a job
    // of this client's would come back to it and trap.
    while (probe_worker_in_flight() != 0)
        complete_one(nullptr); // a job went out that the dispatcher did not report
    if (b.data_size < 0 || b.data_size > static_cast<int32_t>(sizeof(b.buf)))
        __builtin_trap(); // a reply longer than its buffer
}

void open_first_probe()
{
    tarvex_device_info info;
    memset(&info, 0, sizeof(info));
    uint32_t key = tarvex_get_nb_devices() > 0 ? tarvex_get_device_info2(0, &info) : 0;
    if (key == 0)
        return;
    char request[64];
    int n = snprintf(request, sizeof(request), "open-device %x\n", key);
    present(reinterpret_cast<const uint8_t *>(request), static_cast<size_t>(n));
}

// What the event loop does when a client goes: its holds end and its
// associations are released, each close's probe part on the worker.
void release_associations()
{
    probe_hold_client_gone(client);
    while (tcp_cmd_release_next(client))
        complete_one();
    client->is_fd_close_recd = false;
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
    done_fd = probe_worker_init();
    client = make_client();
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    if (client == nullptr || done_fd < 0 || size == 0)
        return 0;
    open_first_probe();
    const uint8_t *end = data + size;
    for (const uint8_t *at = data; at < end;) {
        const auto *next = static_cast<const uint8_t *>(
            memmem(at, static_cast<size_t>(end - at), REQUEST_SEPARATOR, SEPARATOR_LENGTH));
        const uint8_t *stop = next != nullptr ? next : end;
        if (stop > at)
            present(at, static_cast<size_t>(stop - at));
        at = next != nullptr ? next + SEPARATOR_LENGTH : end;
    }
    free(client->recd_data.extra);
    client->recd_data.extra = nullptr;
    release_associations();
    return 0;
}
