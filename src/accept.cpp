#include "accept.h"

#include <sys/epoll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cerrno>
#include <cstddef>
#include <cstdlib>
#include <cstring>

#include "access.h"
#include "common.h"
#include "idle_clients.h"
#include "libusb1_common.h"
#include "tarvex_log.h"
#include "probe_hold.h"
#include "probe_worker.h"
#include "signal_handler.h"
#include "sock_info.h"
#include "tarvex_api.h"
#include "tarvex_connection.h"
#include "tarvex_tcp_cmd.h"
#include "test_timing.h"
#include "time_support_common.h"

// The first size of the table of watched descriptors; it doubles as
// descriptors beyond it come, up to the process's limit.
static constexpr size_t TARVEX_WATCH_TABLE_FIRST = 1024;
// Pause after an accept that failed for lack of descriptors: the listening
// socket stays ready, and retrying at once would spin at full CPU.
static constexpr useconds_t TARVEX_ACCEPT_BACKOFF_US = 100000;

// The records the loop watches, by descriptor, registered with epoll on
// accept and removed on close. A cycle costs the ready descriptors only:
// select would scan every idle client's socket each time, and walking the
// records touches each one's own 32 KiB buffer (a cache and TLB miss apiece).
// Any descriptor the process may open is served (raise_descriptor_limit).
struct watch_table {
    _sock_info **by_fd; // owned, `size` slots
    size_t size;
    int epoll_fd;
    int count; // records in connection_list, listening sockets included
};

static watch_table watched = {nullptr, 0, -1, 0};

// The descriptors through which libusb reports probes plugged in.
constexpr int USB_WATCH_FDS_MAX = 8;
static int usb_fds[USB_WATCH_FDS_MAX];
static int usb_fd_count;

static bool is_usb_fd(int fd)
{
    for (int i = 0; i < usb_fd_count; i++)
        if (usb_fds[i] == fd)
            return true;
    return false;
}

// Clients with a deadline (gathering a payload, or waiting to send), and
// clients held back while a refresh waits for the probe work in flight.
static list_head timed_clients = LIST_HEAD_INIT(timed_clients);
static list_head held_clients = LIST_HEAD_INIT(held_clients);
// The client whose refresh waits for the probe work in flight to end.
static _sock_info *refresh_waiter;

static _sock_info *waiting_client(list_head *link)
{
    return reinterpret_cast<_sock_info *>(reinterpret_cast<char *>(link) - offsetof(_sock_info, wait_link));
}

static void epoll_register(int fd, uint32_t events)
{
    struct epoll_event ev = {};
    ev.events = events;
    ev.data.fd = fd;
    if (epoll_ctl(watched.epoll_fd, EPOLL_CTL_ADD, fd, &ev) != 0)
        LOG_ERROR("epoll_ctl add of socket %d failed. Error = %d", fd, errno);
}

// Makes the table reach descriptor fd; false when there is no memory for it.
static bool table_reaches(SOCKET fd)
{
    auto slot = static_cast<size_t>(fd);
    if (slot < watched.size)
        return true;
    size_t size = watched.size > 0 ? watched.size : TARVEX_WATCH_TABLE_FIRST;
    while (size <= slot)
        size *= 2;
    auto *grown = static_cast<_sock_info **>(realloc(watched.by_fd, size * sizeof(_sock_info *)));
    if (grown == nullptr)
        return false;
    memset(grown + watched.size, 0, (size - watched.size) * sizeof(_sock_info *));
    watched.by_fd = grown;
    watched.size = size;
    return true;
}

// False when the record cannot be watched (no memory for the table).
static bool watch(_sock_info *psock_info)
{
    SOCKET sock = psock_info->sock;
    if (sock < 0 || !table_reaches(sock)) {
        LOG_ERROR("cannot watch socket %d: no memory for the table of watched sockets", sock);
        return false;
    }
    watched.count++;
    watched.by_fd[static_cast<size_t>(sock)] = psock_info;
    psock_info->events = EPOLLIN;
    epoll_register(sock, EPOLLIN);
    return true;
}

// Before the descriptor is closed.
static void unwatch(SOCKET sock)
{
    watched.count--;
    if (sock < 0 || static_cast<size_t>(sock) >= watched.size)
        return;
    watched.by_fd[static_cast<size_t>(sock)] = nullptr;
    epoll_ctl(watched.epoll_fd, EPOLL_CTL_DEL, sock, nullptr);
}

// What the loop watches a client's socket for: reading, writing or nothing
// (hang-ups and errors are reported all the same).
static void set_events(_sock_info *c, uint32_t events)
{
    if (c->events == events)
        return;
    struct epoll_event ev = {};
    ev.events = events;
    ev.data.fd = c->sock;
    if (epoll_ctl(watched.epoll_fd, EPOLL_CTL_MOD, c->sock, &ev) != 0)
        LOG_ERROR("epoll_ctl of socket %d failed. Error = %d", c->sock, errno);
    c->events = events;
}

// The records made before the loop started: the listening sockets.
static bool watch_existing_records()
{
    watched.epoll_fd = epoll_create1(EPOLL_CLOEXEC);
    if (watched.epoll_fd < 0) {
        LOG_ERROR("epoll_create1 failed. Error = %d", errno);
        return false;
    }
    list_for_each(pos, &connection_list) watch(list_entry<_sock_info>(pos));
    usb_fd_count =
        tarvex_libusb_watch_start(static_cast<uint64_t>(tarvex_waits.usb_poll_ms), usb_fds, USB_WATCH_FDS_MAX);
    for (int i = 0; i < usb_fd_count; i++)
        epoll_register(usb_fds[i], EPOLLIN);
    if (ctrl_event_fd() >= 0)
        epoll_register(ctrl_event_fd(), EPOLLIN);
    int done_fd = probe_worker_init();
    if (done_fd < 0) {
        LOG_ERROR("cannot create the probe workers' completion descriptor. Error = %d", errno);
        return true; // requests that need a probe then fail
    }
    epoll_register(done_fd, EPOLLIN | EPOLLET);
    return true;
}

static void end_client(_sock_info *c);

// A new connection of a peer that keeps more idle ones than it may: the
// longest idle go.
static void close_idle_of_peer(const _sock_info *newcomer)
{
    uint64_t now = monotonic_ms();
    for (_sock_info *c = idle_next_over_bound(newcomer, now); c != nullptr; c = idle_next_over_bound(newcomer, now))
        end_client(c);
}

_sock_info *process_accept_event(_sock_info *psock_info)
{
    LOG_DEBUG("Entering process_accept_event() on socket %d, sock_info %p", psock_info->sock,
              static_cast<void *>(psock_info));
    struct sockaddr_storage addr;
    socklen_t addr_len = sizeof(addr);
    SOCKET sock =
        accept4(psock_info->sock, reinterpret_cast<struct sockaddr *>(&addr), &addr_len, SOCK_NONBLOCK | SOCK_CLOEXEC);
    if (sock < 0) {
        LOG_ERROR("ERROR: accept failed. Error = %d", errno);
        if (errno == EMFILE || errno == ENFILE || errno == ENOBUFS || errno == ENOMEM)
            usleep(TARVEX_ACCEPT_BACKOFF_US);
        return nullptr;
    }
    if (addr.ss_family != AF_UNIX)
        print_address_string(reinterpret_cast<struct sockaddr *>(&addr), addr_len);
    _sock_info *client = alloc_sock_info();
    if (client == nullptr) {
        LOG_ERROR("alloc_sock_info failed.");
        close(sock);
        return nullptr;
    }
    client->sock = sock;
    if (!access_admit(client, &addr)) {
        close(sock);
        free_sock_info(client);
        return nullptr;
    }
    client->is_socket_listening = false;
    client->phase = CLIENT_READING;
    client->last_input_ms = monotonic_ms();
    access_note_peer(client, &addr);
    if (!watch(client)) {
        close(sock);
        free_sock_info(client);
        return nullptr;
    }
    list_add_tail(&client->list_entry, &connection_list);
    LOG_DEBUG("Added accepted socket %d to list of sockets ", sock);
    close_idle_of_peer(client);
    return client;
}

static void wait_until(_sock_info *c, uint64_t deadline_ms)
{
    if (c->wait_link.next == nullptr)
        list_add_tail(&c->wait_link, &timed_clients);
    c->deadline_ms = deadline_ms;
}

static void stop_waiting(_sock_info *c)
{
    if (c->wait_link.next != nullptr)
        list_del(&c->wait_link);
}

static void start_reading(_sock_info *c)
{
    stop_waiting(c);
    c->phase = CLIENT_READING;
    set_events(c, EPOLLIN);
}

// Held clients read again once the refresh they waited behind has run.
static void release_held_clients()
{
    list_for_each_safe(pos, n, &held_clients) start_reading(waiting_client(pos));
}

// The client holds no probe work in flight: frees it once its associations
// are released (each may wait for its probe's worker).
static void continue_release(_sock_info *c)
{
    if (tcp_cmd_release_next(c))
        return;
    free_sock_info(c);
}

// The connection is over: the socket goes at once and the record leaves the
// client list (counts no longer include it); the record itself stays until
// its associations are released.
static void end_client(_sock_info *c)
{
    stop_waiting(c);
    probe_hold_client_gone(c);
    if (c == refresh_waiter) {
        refresh_waiter = nullptr;
        release_held_clients();
    }
    unwatch(c->sock);
    close(c->sock);
    c->sock = -1;
    list_del(&c->list_entry);
    c->phase = CLIENT_RELEASING;
    // A client that held no association still gives the auto-exit rule its chance.
    if (get_connection_by_sock(c) == nullptr)
        evaluate_auto_kiil(0);
    continue_release(c);
}

// A reply is in the client's buffer: it goes out now as far as the socket
// takes it, the rest when the socket is writable.
static void reply_ready(_sock_info *c)
{
    note_reply_extent(c);
    if (c->is_fd_close_recd) { // the peer went while its request was in flight
        end_client(c);
        return;
    }
    int sent = send_reply(c);
    if (sent < 0) {
        end_client(c);
        return;
    }
    if (sent > 0) {
        start_reading(c);
        return;
    }
    c->phase = CLIENT_SENDING;
    set_events(c, EPOLLOUT);
    wait_until(c, monotonic_ms() + tarvex_waits.send_timeout_s * 1000);
}

static void dispatch(_sock_info *c)
{
    switch (process_request(c)) {
    case TCP_CMD_REPLIED:
        reply_ready(c);
        break;
    case TCP_CMD_IN_FLIGHT:
        // The socket stays watched for input: a client waits for its reply,
        // so input now is rare (a hang-up, or a request sent early) and is
        // what stops the watching (serve_client). Two epoll_ctl calls a
        // request fewer.
        stop_waiting(c);
        c->phase = CLIENT_IN_FLIGHT;
        break;
    case TCP_CMD_WANTS_DATA:
        // The deadline runs from the command line for the whole payload.
        if (c->phase != CLIENT_GATHERING)
            wait_until(c, monotonic_ms() + tarvex_waits.payload_wait_ms);
        c->phase = CLIENT_GATHERING;
        break;
    case TCP_CMD_WAITS_IDLE:
        stop_waiting(c);
        c->phase = CLIENT_PAUSED;
        set_events(c, 0);
        refresh_waiter = c;
        break;
    case TCP_CMD_WAITS_HOLD:
        // Watched for its peer going only: a request that has not started
        // is dropped with the client rather than run for nobody.
        stop_waiting(c);
        c->phase = CLIENT_PAUSED;
        set_events(c, EPOLLRDHUP);
        break;
    }
}

// The requests that waited behind a hold that has just ended, presented
// again in their order before any other request is served.
static void resume_hold_waiters()
{
    for (_sock_info *c = probe_hold_next_ready(); c != nullptr; c = probe_hold_next_ready()) {
        set_events(c, EPOLLIN);
        dispatch(c);
    }
}

static void on_readable(_sock_info *c)
{
    if (refresh_waiter != nullptr && c->phase == CLIENT_READING) {
        // Requests that arrive while a refresh waits wait behind it.
        c->phase = CLIENT_PAUSED;
        set_events(c, 0);
        list_add_tail(&c->wait_link, &held_clients);
        return;
    }
    int got = receive_request(c);
    if (got < 0)
        end_client(c);
    else if (got > 0)
        dispatch(c);
}

static void on_writable(_sock_info *c)
{
    int32_t before = c->total_sent;
    int sent = send_reply(c);
    if (sent < 0)
        end_client(c);
    else if (sent > 0)
        start_reading(c);
    else if (c->total_sent != before)
        c->deadline_ms = monotonic_ms() + tarvex_waits.send_timeout_s * 1000;
}

static void serve_client(_sock_info *c, uint32_t events)
{
    switch (c->phase) {
    case CLIENT_READING:
    case CLIENT_GATHERING:
        on_readable(c);
        break;
    case CLIENT_SENDING:
        on_writable(c);
        break;
    case CLIENT_PAUSED:
        if (events & (EPOLLERR | EPOLLHUP | EPOLLRDHUP))
            end_client(c);
        break;
    default:
        // In flight. A hang-up: stop watching the socket; the client ends
        // when its operation has completed. Input (a request sent early, or
        // the peer's end of stream): it waits in the socket until the reply
        // has gone.
        if (events & (EPOLLERR | EPOLLHUP)) {
            epoll_ctl(watched.epoll_fd, EPOLL_CTL_DEL, c->sock, nullptr);
            c->is_fd_close_recd = true;
        } else {
            set_events(c, 0);
        }
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
    resume_hold_waiters(); // the refresh may have removed a held probe
}

static void complete_probe_jobs()
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
    resume_hold_waiters();
    run_waiting_refresh();
}

// Requests that waited for a hold up to their limit are answered with their
// failure; holds past --hold-max end.
static void expire_holds(uint64_t now)
{
    for (_sock_info *c = probe_hold_next_expired(now); c != nullptr; c = probe_hold_next_expired(now)) {
        set_events(c, EPOLLIN);
        tcp_cmd_refuse_held(c);
        reply_ready(c);
    }
    probe_hold_end_expired(now);
    resume_hold_waiters();
    for (_sock_info *c = idle_next_expired(now); c != nullptr; c = idle_next_expired(now))
        end_client(c);
    tarvex_libusb_look(now);
}

// Drops the clients whose deadline has passed: a memory write whose payload
// did not all arrive (nothing is written), a reply that made no progress.
static void expire_deadlines()
{
    uint64_t now = monotonic_ms();
    list_for_each_safe(pos, n, &timed_clients)
    {
        _sock_info *c = waiting_client(pos);
        if (c->deadline_ms > now)
            continue;
        if (c->phase == CLIENT_GATHERING)
            tcp_cmd_log_payload_expired(c, tarvex_waits.payload_wait_ms);
        else
            log_stalled_send(c->sock);
        end_client(c);
    }
    expire_holds(now);
}

// Milliseconds until the nearest deadline, at most the heart-beat interval.
static int wait_timeout_ms()
{
    uint64_t limit = static_cast<uint64_t>(tarvex_waits.heartbeat_s) * 1000;
    uint64_t now = monotonic_ms();
    list_for_each(pos, &timed_clients)
    {
        uint64_t deadline = waiting_client(pos)->deadline_ms;
        uint64_t left = deadline > now ? deadline - now : 0;
        if (left < limit)
            limit = left;
    }
    const uint64_t deadlines[] = {probe_hold_next_deadline_ms(), idle_next_check_ms(), tarvex_libusb_next_look_ms()};
    for (uint64_t deadline : deadlines) {
        uint64_t left = deadline > now ? deadline - now : 0;
        if (left < limit)
            limit = left;
    }
    return static_cast<int>(limit);
}

constexpr int TARVEX_EVENTS_PER_CYCLE = 64;

static void serve_ready_records(const struct epoll_event *events, int ready)
{
    for (int i = 0; i < ready; i++) {
        int fd = events[i].data.fd;
        if (fd == probe_worker_event_fd()) {
            complete_probe_jobs();
            continue;
        }
        if (fd == ctrl_event_fd()) {
            ctrl_event_serve();
            continue;
        }
        if (is_usb_fd(fd)) {
            tarvex_libusb_watch_ready(fd);
            continue;
        }
        _sock_info *psock_info =
            fd >= 0 && static_cast<size_t>(fd) < watched.size ? watched.by_fd[static_cast<size_t>(fd)] : nullptr;
        if (psock_info == nullptr)
            continue;
        if (psock_info->is_socket_listening) {
            LOG_DEBUG("listening state : %d", 1);
            process_accept_event(psock_info);
        } else {
            serve_client(psock_info, events[i].events);
        }
        resume_hold_waiters();
    }
}

void non_blocking_accept_main()
{
    LOG_DEBUG("Entering non_blocking_accept_main");
    if (!watch_existing_records())
        return;
    struct epoll_event events[TARVEX_EVENTS_PER_CYCLE];
    while (!list_empty(&connection_list)) {
        if (ask_to_kill && watched.count == static_cast<int>(listening_records)) {
            LOG_DEBUG("ask_to_kill not asked");
            exit(1);
        }
        int timeout_ms = wait_timeout_ms();
        int ready = epoll_wait(watched.epoll_fd, events, TARVEX_EVENTS_PER_CYCLE, timeout_ms);
        if (ready < 0) {
            if (errno == EINTR)
                continue;
            // EINTR aside, epoll_wait fails only when the loop's own epoll
            // set is unusable (EBADF, EINVAL, EFAULT): no retry mends that
            // and no client can be served, so the server ends with a
            // failure status, for the service manager to start it afresh.
            LOG_ERROR("waiting for socket events failed: epoll_wait error %d (%s)", errno, strerror(errno));
            exit(1);
        }
        if (ready == 0 && timeout_ms == tarvex_waits.heartbeat_s * 1000)
            LOG_DEBUG("No connections/data in the last %ld seconds.", tarvex_waits.heartbeat_s);
        serve_ready_records(events, ready);
        expire_deadlines();
    }
}
