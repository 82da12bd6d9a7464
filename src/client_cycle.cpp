// Rules:
// - A client's phase changes only in enter(), which also sets what the loop
//   watches its socket for, its deadline and the wait list it is on, as the
//   phase's row of phase_rules says (client_cycle_start gives a new record
//   its first phase, READING, on no list yet). The loop (accept.cpp) owns
//   the epoll set and calls in here; it never writes a phase itself.
// - One request at a time: the socket is read in READING and GATHERING only,
//   so a client's next request waits in its socket until its reply has gone.
// - The staging buffer belongs to the probe worker while the client is
//   IN_FLIGHT; nothing here touches it then.
// - A request that waits (a payload to gather, a hold, a refresh) stays in
//   the staging buffer exactly as received and is presented to the
//   dispatcher again as a whole.
#include "client_cycle.h"

#include <sys/epoll.h>
#include <sys/socket.h>

#include <cerrno>
#include <cstddef>
#include <cstdlib>
#include <cstring>

#include "accept.h"
#include "common.h"
#include "idle_clients.h"
#include "libusb1_common.h"
#include "probe_hold.h"
#include "probe_worker.h"
#include "rtt_capture.h"
#include "sock_info.h"
#include "tarvex_connection.h"
#include "tarvex_log.h"
#include "tarvex_tcp_cmd.h"
#include "test_timing.h"
#include "time_support_common.h"

// Clients with a deadline (GATHERING, SENDING), those BEHIND_REFRESH, and
// the RTT readers waiting for bytes (each with the deadline of its read).
static list_head timed_clients = LIST_HEAD_INIT(timed_clients);
static list_head held_clients = LIST_HEAD_INIT(held_clients);
static list_head rtt_readers = LIST_HEAD_INIT(rtt_readers);
// rtt_capture_wake_count when the readers were last presented again.
static uint64_t readers_woken;
// The client in IDLE_WAIT: its refresh waits for the probe work in flight.
static _sock_info *refresh_waiter;

static _sock_info *waiting_client(list_head *link)
{
    return reinterpret_cast<_sock_info *>(reinterpret_cast<char *>(link) - offsetof(_sock_info, wait_link));
}

static void stop_waiting(_sock_info *c)
{
    if (c->wait_link.next != nullptr)
        list_del(&c->wait_link);
}

static uint64_t send_deadline()
{
    return monotonic_ms() + static_cast<uint64_t>(tarvex_waits.send_timeout_s) * 1000;
}

// What the loop watches a phase's socket for, and the list the client waits
// on there: timed_clients for a deadline, held_clients behind a refresh,
// rtt_readers for bytes.
struct phase_rule {
    bool watched; // false: the socket is closed
    uint32_t events;
    list_head *list;
};

static constexpr phase_rule phase_rules[] = {
    {true, EPOLLIN, nullptr},        // READING
    {true, EPOLLIN, &timed_clients}, // GATHERING: the deadline runs from the command line for the whole payload
    // IN_FLIGHT: the socket stays watched for input: a client waits for its
    // reply, so input now is rare (a hang-up, or a request sent early) and is
    // what stops the watching (client_cycle_serve). Two epoll_ctl calls a
    // request fewer.
    {true, EPOLLIN, nullptr},
    {true, EPOLLOUT, &timed_clients}, // SENDING: the deadline is the next progress
    // HOLD_WAIT: watched for its peer going only: a request that has not
    // started is dropped with the client rather than run for nobody.
    {true, EPOLLRDHUP, nullptr},
    {true, 0, nullptr},       // IDLE_WAIT
    {true, 0, &held_clients}, // BEHIND_REFRESH
    {false, 0, nullptr},      // RELEASING
    // RTT_WAIT: as HOLD_WAIT, watched for its peer going only.
    {true, EPOLLRDHUP, &rtt_readers},
};
static_assert(sizeof(phase_rules) / sizeof(phase_rules[0]) == CLIENT_RTT_WAIT + 1, "a rule for every phase");

static uint64_t deadline_of(client_phase phase)
{
    if (phase == CLIENT_GATHERING)
        return monotonic_ms() + static_cast<uint64_t>(tarvex_waits.payload_wait_ms);
    return send_deadline();
}

static void enter(_sock_info *c, client_phase next)
{
    const phase_rule &rule = phase_rules[next];
    bool again = c->phase == next;
    c->phase = next;
    if (!again || rule.list == nullptr) {
        stop_waiting(c);
        if (rule.list == &timed_clients)
            c->deadline_ms = deadline_of(next);
        if (rule.list == &rtt_readers)
            c->deadline_ms = c->wait_until_ms;
        if (rule.list != nullptr)
            list_add_tail(&c->wait_link, rule.list);
    }
    if (rule.watched)
        loop_watch_for(c, rule.events);
}

// ---------------------------------------------------------------------------
// The staging buffer: receiving a request, sending its reply

// The most of a binary request's fixed header a handler may write into.
constexpr uint32_t BINARY_HEADER_EXTENT = 64;

// Records that buf may hold non-zero bytes below `extent`. Whoever writes
// into buf past both the request received and the reply left in it (the rest
// of a memory write's payload) must say so, or those bytes would survive into
// the next request.
static void mark_used(data_buffer *d, uint32_t extent)
{
    if (extent > d->used)
        d->used = extent;
}

// Makes buf hold the `received` bytes of the new request followed by zeros
// only: the previous request or reply may have left bytes past them. Clearing
// just that stale extent, rather than the whole 32 KiB before each receive,
// keeps a small request from touching the whole buffer.
static void clear_stale_bytes(data_buffer *recd, uint32_t received)
{
    if (recd->used > received)
        memset(recd->buf + received, 0, recd->used - received);
    recd->used = received;
}

// One recv into buf at `at` of at most `room` bytes: > 0 bytes, 0 when
// nothing is there yet, -1 when the connection ended or failed.
static ssize_t receive_some(_sock_info *c, uint8_t *at, size_t room)
{
    ssize_t n = recv(c->sock, at, room, 0);
    if (n < 0 && (errno == EWOULDBLOCK || errno == EAGAIN || errno == EINTR))
        return 0;
    if (n < 0) {
        LOG_ERROR("ERROR: recv failed. error = %d", errno);
        return -1;
    }
    if (n == 0) {
        // The normal end of every connection: not an error an operator acts on.
        LOG_DEBUG("recv returned 0. Remote side has closed gracefully. Good.");
        return -1;
    }
    c->last_input_ms = monotonic_ms();
    return n;
}

// A new request (one recv, which is one request), or the next piece of a
// memory write's payload up to recd_data.wanted. 1 when a whole request is
// in the buffer, 0 when nothing (more) is there yet, -1 when the connection
// ended or failed.
static int receive_request(_sock_info *c)
{
    data_buffer *recd = &c->recd_data;
    if (recd->wanted > recd->received) {
        // The rest of a memory write's payload, straight after what came before.
        ssize_t n = receive_some(c, recd->buf + recd->received, recd->wanted - recd->received);
        if (n <= 0)
            return static_cast<int>(n);
        recd->received += static_cast<uint32_t>(n);
        mark_used(recd, recd->received);
        return recd->received == recd->wanted ? 1 : 0;
    }
    recd->data_size = 0;
    recd->send_offset = 0;
    recd->wanted = 0;
    // One byte short of the buffer, so a text request is always NUL-terminated.
    ssize_t n = receive_some(c, recd->buf, sizeof(recd->buf) - 1);
    if (n <= 0)
        return static_cast<int>(n);
    clear_stale_bytes(recd, static_cast<uint32_t>(n));
    recd->received = static_cast<uint32_t>(n);
    return 1;
}

// Records how far the reply now in the buffer reaches, so the next receive
// clears it.
static void note_reply_extent(data_buffer *recd)
{
    // Handlers also set fixed fields of a binary request's header (the
    // pass-through key) past the end of a short one.
    uint32_t reply_extent = recd->data_size > 0 ? static_cast<uint32_t>(recd->data_size) : 0;
    mark_used(recd, reply_extent > BINARY_HEADER_EXTENT ? reply_extent : BINARY_HEADER_EXTENT);
}

// Takes the first `sent` bytes off the pending reply.
static void consume_reply(data_buffer *recd, size_t sent)
{
    size_t head = sent < static_cast<size_t>(recd->data_size) ? sent : static_cast<size_t>(recd->data_size);
    recd->send_offset += static_cast<uint32_t>(head);
    recd->data_size -= static_cast<int32_t>(head);
    recd->extra_offset += static_cast<uint32_t>(sent - head);
    recd->extra_size -= static_cast<uint32_t>(sent - head);
}

static void reply_sent(data_buffer *recd)
{
    free(recd->extra);
    recd->extra = nullptr;
    recd->extra_size = 0;
    recd->extra_offset = 0;
}

enum send_progress { SEND_FAILED, SEND_WAITS, SEND_MOVED, SEND_DONE };

// As much of the pending reply (buffer part, then recd_data.extra) as the
// socket takes now; all of it sent frees extra.
static send_progress send_reply(_sock_info *c)
{
    data_buffer *recd = &c->recd_data;
    send_progress progress = SEND_WAITS;
    while (recd->data_size > 0 || recd->extra_size > 0) {
        // The staging buffer's part, then a large read's data: one gathered write.
        struct iovec iov[2];
        int count = 0;
        if (recd->data_size > 0)
            iov[count++] = {recd->buf + recd->send_offset, static_cast<size_t>(recd->data_size)};
        if (recd->extra_size > 0)
            iov[count++] = {recd->extra + recd->extra_offset, recd->extra_size};
        struct msghdr msg;
        memset(&msg, 0, sizeof(msg));
        msg.msg_iov = iov;
        msg.msg_iovlen = static_cast<size_t>(count);
        ssize_t sent = sendmsg(c->sock, &msg, MSG_NOSIGNAL | MSG_DONTWAIT);
        if (sent < 0 && errno == EINTR)
            continue;
        if (sent < 0 && (errno == EAGAIN || errno == EWOULDBLOCK))
            return progress;
        if (sent <= 0) {
            LOG_ERROR("ERROR: send failed. error = %d", errno);
            c->is_fd_close_recd = true;
            return SEND_FAILED;
        }
        progress = SEND_MOVED;
        consume_reply(recd, static_cast<size_t>(sent));
    }
    reply_sent(recd);
    return SEND_DONE;
}

static void log_stalled_send(const _sock_info *c)
{
    LOG_ERROR("send to socket %d made no progress for %d s: client dropped", c->sock, tarvex_waits.send_timeout_s);
}

// ---------------------------------------------------------------------------
// Transitions

// Clients BEHIND_REFRESH read again once the refresh has run.
static void release_held_clients()
{
    list_for_each_safe(pos, n, &held_clients) enter(waiting_client(pos), CLIENT_READING);
}

// The client holds no probe work in flight: frees it once its associations
// are released (each may wait for its probe's worker).
static void continue_release(_sock_info *c)
{
    if (tcp_cmd_release_next(c))
        return;
    free_sock_info(c);
}

void client_cycle_start(_sock_info *c)
{
    c->phase = CLIENT_READING;
    c->last_input_ms = monotonic_ms();
    c->connected_ms = c->last_input_ms;
}

void client_cycle_end(_sock_info *c)
{
    stop_waiting(c);
    probe_hold_client_gone(c);
    rtt_capture_client_gone(c);
    if (c == refresh_waiter) {
        refresh_waiter = nullptr;
        release_held_clients();
    }
    loop_close_client(c);
    enter(c, CLIENT_RELEASING);
    // A client that held no association still gives the auto-exit rule its chance.
    if (get_connection_by_sock(c) == nullptr)
        evaluate_auto_kiil(0);
    continue_release(c);
}

// What a send of the pending reply did: the reply is out, or the rest waits
// for the socket to be writable, a progress putting the deadline off.
static void after_send(_sock_info *c, send_progress progress)
{
    if (progress == SEND_FAILED)
        client_cycle_end(c);
    else if (progress == SEND_DONE)
        enter(c, CLIENT_READING);
    else if (c->phase != CLIENT_SENDING)
        enter(c, CLIENT_SENDING);
    else if (progress == SEND_MOVED)
        c->deadline_ms = send_deadline();
}

// A reply is in the client's buffer: it goes out now as far as the socket
// takes it, the rest when the socket is writable.
static void reply_ready(_sock_info *c)
{
    note_reply_extent(&c->recd_data);
    if (c->is_fd_close_recd) { // the peer went while its request was in flight
        client_cycle_end(c);
        return;
    }
    after_send(c, send_reply(c));
}

// The request in the buffer goes to the dispatcher; what became of it is the
// client's next phase.
static void dispatch(_sock_info *c)
{
    data_buffer *recd = &c->recd_data;
    switch (process_tarvex_tcp_cmd(c, recd->buf, recd->buf, &recd->data_size, static_cast<int>(recd->received))) {
    case TCP_CMD_REPLIED:
        reply_ready(c);
        break;
    case TCP_CMD_IN_FLIGHT:
        enter(c, CLIENT_IN_FLIGHT);
        break;
    case TCP_CMD_WANTS_DATA:
        enter(c, CLIENT_GATHERING);
        break;
    case TCP_CMD_WAITS_IDLE:
        refresh_waiter = c;
        enter(c, CLIENT_IDLE_WAIT);
        break;
    case TCP_CMD_WAITS_HOLD:
        enter(c, CLIENT_HOLD_WAIT);
        break;
    case TCP_CMD_WAITS_RTT:
        enter(c, CLIENT_RTT_WAIT);
        break;
    }
}

void client_cycle_resume_rtt_readers()
{
    uint64_t woken = rtt_capture_wake_count();
    if (woken == readers_woken)
        return;
    readers_woken = woken;
    list_for_each_safe(pos, n, &rtt_readers) dispatch(waiting_client(pos));
}

bool client_cycle_refresh_waits()
{
    return refresh_waiter != nullptr;
}

void client_cycle_resume_hold_waiters()
{
    for (_sock_info *c = probe_hold_next_ready(); c != nullptr; c = probe_hold_next_ready()) {
        dispatch(c);
        probe_hold_presented(c);
    }
}

static void on_readable(_sock_info *c)
{
    if (refresh_waiter != nullptr && c->phase == CLIENT_READING) {
        // Requests that arrive while a refresh waits wait behind it.
        enter(c, CLIENT_BEHIND_REFRESH);
        return;
    }
    int got = receive_request(c);
    if (got < 0)
        client_cycle_end(c);
    else if (got > 0)
        dispatch(c);
}

void client_cycle_serve(_sock_info *c, uint32_t events)
{
    switch (c->phase) {
    case CLIENT_READING:
    case CLIENT_GATHERING:
        on_readable(c);
        break;
    case CLIENT_SENDING:
        after_send(c, send_reply(c));
        break;
    case CLIENT_HOLD_WAIT:
    case CLIENT_IDLE_WAIT:
    case CLIENT_BEHIND_REFRESH:
    case CLIENT_RTT_WAIT:
        if (events & (EPOLLERR | EPOLLHUP | EPOLLRDHUP))
            client_cycle_end(c);
        break;
    case CLIENT_IN_FLIGHT:
        // A hang-up: stop watching the socket; the client ends when its
        // operation has completed. Input (a request sent early, or the
        // peer's end of stream): it waits in the socket until the reply has
        // gone.
        if (events & (EPOLLERR | EPOLLHUP)) {
            loop_ignore_socket(c);
            c->is_fd_close_recd = true;
        } else {
            loop_watch_for(c, 0);
        }
        break;
    case CLIENT_RELEASING:
        break;
    }
}

// A refresh runs once no probe work is in flight; then the clients held
// behind it read again.
static void run_waiting_refresh()
{
    if (refresh_waiter == nullptr || probe_worker_in_flight() > 0)
        return;
    _sock_info *c = refresh_waiter;
    refresh_waiter = nullptr;
    dispatch(c);
    release_held_clients();
    client_cycle_resume_hold_waiters(); // the refresh may have removed a held probe
}

void client_cycle_complete_jobs()
{
    for (probe_job *job = probe_worker_next_done(); job != nullptr; job = probe_worker_next_done()) {
        _sock_info *c = tcp_cmd_complete(job);
        if (c == nullptr)
            continue; // a job without client
        if (c->phase == CLIENT_RELEASING)
            continue_release(c);
        else
            reply_ready(c);
    }
    client_cycle_resume_hold_waiters();
    run_waiting_refresh();
}

// Requests that waited for a hold up to their limit are answered with their
// failure; holds past --hold-max end.
static void expire_holds(uint64_t now)
{
    for (_sock_info *c = probe_hold_next_expired(now); c != nullptr; c = probe_hold_next_expired(now)) {
        tcp_cmd_refuse_held(c);
        reply_ready(c);
    }
    probe_hold_end_expired(now);
    client_cycle_resume_hold_waiters();
}

void client_cycle_expire(uint64_t now)
{
    // A memory write whose payload did not all arrive (nothing is written),
    // a reply that made no progress.
    list_for_each_safe(pos, n, &timed_clients)
    {
        _sock_info *c = waiting_client(pos);
        if (c->deadline_ms > now)
            continue;
        if (c->phase == CLIENT_GATHERING)
            tcp_cmd_log_payload_expired(c, tarvex_waits.payload_wait_ms);
        else
            log_stalled_send(c);
        client_cycle_end(c);
    }
    expire_holds(now);
    // An RTT read whose wait passed is answered with what there is (nothing).
    list_for_each_safe(pos, n, &rtt_readers)
    {
        _sock_info *c = waiting_client(pos);
        if (c->deadline_ms <= now)
            dispatch(c);
    }
    for (_sock_info *c = idle_next_expired(now); c != nullptr; c = idle_next_expired(now))
        client_cycle_end(c);
}

uint64_t client_cycle_next_deadline_ms()
{
    uint64_t nearest = probe_hold_next_deadline_ms();
    uint64_t idle_check = idle_next_check_ms();
    if (idle_check < nearest)
        nearest = idle_check;
    for (list_head *list : {&timed_clients, &rtt_readers})
        list_for_each(pos, list)
        {
            uint64_t deadline = waiting_client(pos)->deadline_ms;
            if (deadline < nearest)
                nearest = deadline;
        }
    return nearest;
}
