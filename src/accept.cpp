#include "accept.h"

#include <sys/epoll.h>
#include <sys/select.h>
#include <sys/socket.h>
#include <unistd.h>

#include <array>
#include <cerrno>
#include <cstdlib>

#include "common.h"
#include "log.h"
#include "sock_info.h"
#include "tarvex_api.h"
#include "tarvex_connection.h"

static constexpr long HEART_BEAT_INTERVAL = 30;
// select cannot watch descriptors at or above this bound.
static constexpr int TARVEX_SELECT_LIMIT = FD_SETSIZE;
// Pause after an accept that failed for lack of descriptors: the listening
// socket stays ready, and retrying at once would spin at full CPU.
static constexpr useconds_t TARVEX_ACCEPT_BACKOFF_US = 100000;

// The records the loop watches, by descriptor, registered with epoll on
// accept and removed on close. A cycle costs the ready descriptors only:
// select would scan every idle client's socket each time, and walking the
// records touches each one's own 32 KiB buffer (a cache and TLB miss apiece).
// Descriptors stay below the select bound all the same, so the set of
// clients served is what it always was.
struct watch_table {
    std::array<_sock_info *, TARVEX_SELECT_LIMIT> by_fd;
    int epoll_fd;
    int count; // records in connection_list, listening sockets included
};

static watch_table watched = {{}, -1, 0};

static void watch(_sock_info *psock_info)
{
    watched.count++;
    SOCKET sock = psock_info->sock;
    if (sock < 0 || sock >= TARVEX_SELECT_LIMIT)
        return;
    watched.by_fd[static_cast<size_t>(sock)] = psock_info;
    struct epoll_event ev = {};
    ev.events = EPOLLIN;
    ev.data.fd = sock;
    if (epoll_ctl(watched.epoll_fd, EPOLL_CTL_ADD, sock, &ev) != 0)
        LOG_ERROR("epoll_ctl add of socket %d failed. Error = %d", sock, errno);
}

// Before the descriptor is closed.
static void unwatch(SOCKET sock)
{
    watched.count--;
    if (sock < 0 || sock >= TARVEX_SELECT_LIMIT)
        return;
    watched.by_fd[static_cast<size_t>(sock)] = nullptr;
    epoll_ctl(watched.epoll_fd, EPOLL_CTL_DEL, sock, nullptr);
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
    return true;
}

_sock_info *process_accept_event(_sock_info *psock_info)
{
    LOG_DEBUG("Entering process_accept_event() on socket %d, sock_info %p", psock_info->sock,
              static_cast<void *>(psock_info));
    struct sockaddr_storage addr;
    socklen_t addr_len = sizeof(addr);
    SOCKET sock = accept(psock_info->sock, reinterpret_cast<struct sockaddr *>(&addr), &addr_len);
    if (sock < 0) {
        LOG_ERROR("ERROR: accept failed. Error = %d", errno);
        if (errno == EMFILE || errno == ENFILE || errno == ENOBUFS || errno == ENOMEM)
            usleep(TARVEX_ACCEPT_BACKOFF_US);
        return nullptr;
    }
    if (sock >= TARVEX_SELECT_LIMIT) {
        LOG_ERROR("accept: descriptor %d is beyond the select limit %d, connection refused", sock, TARVEX_SELECT_LIMIT);
        close(sock);
        return nullptr;
    }
    struct timeval send_timeout = {TARVEX_SEND_TIMEOUT_S, 0};
    if (setsockopt(sock, SOL_SOCKET, SO_SNDTIMEO, &send_timeout, sizeof(send_timeout)) != 0)
        LOG_ERROR("accept: cannot set the send time-out of socket %d, error = %d", sock, errno);
    print_address_string(reinterpret_cast<struct sockaddr *>(&addr), addr_len);
    _sock_info *client = alloc_sock_info();
    if (client == nullptr) {
        LOG_ERROR("alloc_sock_info failed.");
        close(sock);
        return nullptr;
    }
    client->sock = sock;
    client->is_socket_listening = false;
    list_add_tail(&client->list_entry, &connection_list);
    watch(client);
    LOG_DEBUG("Added accepted socket %d to list of sockets ", sock);
    return client;
}

// Releases every association the client holds, in creation order; a client
// that held none still gives the auto-exit rule its chance.
static void release_client_associations(_sock_info *psock_info)
{
    tarvex_assoc *assoc = get_connection_by_sock(psock_info);
    if (assoc == nullptr) {
        evaluate_auto_kiil(0);
        return;
    }
    for (; assoc != nullptr; assoc = get_connection_by_sock(psock_info))
        tarvex_close(assoc->key);
}

static void close_client(_sock_info *psock_info)
{
    unwatch(psock_info->sock);
    close(psock_info->sock);
    psock_info->sock = -1;
    release_client_associations(psock_info);
    LOG_DEBUG("List of SockInfo %p", static_cast<void *>(&connection_list));
    delete_sock_info_from_list(psock_info);
}

// Serves one ready record; true when a client was closed, which ends the walk.
static bool serve_ready_record(_sock_info *psock_info)
{
    if (psock_info->is_socket_listening) {
        LOG_DEBUG("listening state : %d", 1);
        process_accept_event(psock_info);
        return false;
    }
    if (!process_read_event(psock_info) && !send_data(psock_info))
        return false;
    close_client(psock_info);
    return true;
}

constexpr int TARVEX_EVENTS_PER_CYCLE = 64;

// Serves each ready descriptor once; a close ends the cycle (the others stay
// ready for the next one).
static void serve_ready_records(const struct epoll_event *events, int ready)
{
    for (int i = 0; i < ready; i++) {
        int fd = events[i].data.fd;
        _sock_info *psock_info = fd >= 0 && fd < TARVEX_SELECT_LIMIT ? watched.by_fd[static_cast<size_t>(fd)] : nullptr;
        if (psock_info != nullptr && serve_ready_record(psock_info))
            return;
    }
}

void non_blocking_accept_main()
{
    LOG_DEBUG("Entering non_blocking_accept_main");
    if (!watch_existing_records())
        return;
    struct epoll_event events[TARVEX_EVENTS_PER_CYCLE];
    while (!list_empty(&connection_list)) {
        if (ask_to_kill && watched.count == 1) {
            LOG_DEBUG("ask_to_kill not asked");
            exit(1);
        }
        int ready =
            epoll_wait(watched.epoll_fd, events, TARVEX_EVENTS_PER_CYCLE, static_cast<int>(HEART_BEAT_INTERVAL * 1000));
        if (ready < 0) {
            if (errno == EINTR)
                continue;
            LOG_ERROR("select failed. Error = %d", errno);
            sleep(3);
            continue;
        }
        if (ready == 0) {
            LOG_DEBUG("No connections/data in the last %ld seconds.", HEART_BEAT_INTERVAL);
            continue;
        }
        serve_ready_records(events, ready);
    }
}
