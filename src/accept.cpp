#include "accept.h"

#include <sys/epoll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cerrno>
#include <cstddef>
#include <cstdlib>
#include <cstring>

#include "access.h"
#include "client_cycle.h"
#include "common.h"
#include "http_side.h"
#include "idle_clients.h"
#include "libusb1_common.h"
#include "tarvex_log.h"
#include "probe_hold.h"
#include "probe_worker.h"
#include "result_codes.h"
#include "rtt_capture.h"
#include "server_stats.h"
#include "service_notify.h"
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

void loop_watch_for(_sock_info *c, uint32_t events)
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

// The HTTP side's descriptor joins the set only once the loop runs.
static void watch_http_side()
{
    if (http_side_event_fd() >= 0)
        epoll_register(http_side_event_fd(), EPOLLIN);
}

// A new connection of a peer that keeps more idle ones than it may: the
// longest idle go.
static void close_idle_of_peer(const _sock_info *newcomer)
{
    uint64_t now = monotonic_ms();
    for (_sock_info *c = idle_next_over_bound(newcomer, now); c != nullptr; c = idle_next_over_bound(newcomer, now))
        client_cycle_end(c);
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
    stats_connection(addr.ss_family);
    client_cycle_start(client);
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

void loop_ignore_socket(_sock_info *c)
{
    epoll_ctl(watched.epoll_fd, EPOLL_CTL_DEL, c->sock, nullptr);
}

void loop_close_client(_sock_info *c)
{
    unwatch(c->sock);
    close(c->sock);
    c->sock = -1;
    list_del(&c->list_entry);
}

// Milliseconds until the nearest deadline, at most the heart-beat interval.
static int wait_timeout_ms()
{
    uint64_t limit = static_cast<uint64_t>(tarvex_waits.heartbeat_s) * 1000;
    uint64_t now = monotonic_ms();
    const uint64_t deadlines[] = {client_cycle_next_deadline_ms(), tarvex_libusb_next_look_ms(),
                                  rtt_capture_next_deadline_ms(), http_side_next_deadline_ms(),
                                  notify_next_deadline_ms()};
    for (uint64_t deadline : deadlines) {
        uint64_t left = deadline > now ? deadline - now : 0;
        if (left < limit)
            limit = left;
    }
    return static_cast<int>(limit);
}

static void expire_deadlines()
{
    uint64_t now = monotonic_ms();
    client_cycle_expire(now);
    tarvex_libusb_look(now);
    rtt_capture_run(now, client_cycle_refresh_waits());
    client_cycle_resume_rtt_readers();
    if (http_side_next_deadline_ms() <= now)
        http_side_run();
    notify_run(now);
}

constexpr int TARVEX_EVENTS_PER_CYCLE = 64;

static void serve_ready_records(const struct epoll_event *events, int ready)
{
    for (int i = 0; i < ready; i++) {
        int fd = events[i].data.fd;
        if (fd == probe_worker_event_fd()) {
            client_cycle_complete_jobs();
            continue;
        }
        if (fd == ctrl_event_fd()) {
            ctrl_event_serve();
            continue;
        }
        if (fd == http_side_event_fd()) {
            http_side_run();
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
            client_cycle_serve(psock_info, events[i].events);
        }
        client_cycle_resume_hold_waiters();
    }
}

void non_blocking_accept_main()
{
    LOG_DEBUG("Entering non_blocking_accept_main");
    if (!watch_existing_records())
        return;
    watch_http_side();
    struct epoll_event events[TARVEX_EVENTS_PER_CYCLE];
    while (!list_empty(&connection_list)) {
        if (ask_to_kill && watched.count == static_cast<int>(listening_records)) {
            LOG_DEBUG("ask_to_kill not asked");
            exit(TARVEX_EXIT_UNATTENDED);
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
            exit(TARVEX_EXIT_UNATTENDED);
        }
        if (ready == 0 && timeout_ms == tarvex_waits.heartbeat_s * 1000)
            LOG_DEBUG("No connections/data in the last %ld seconds.", tarvex_waits.heartbeat_s);
        serve_ready_records(events, ready);
        expire_deadlines();
    }
}
