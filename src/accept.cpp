#include "accept.h"

#include <sys/select.h>
#include <sys/socket.h>
#include <unistd.h>

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
    close(psock_info->sock);
    psock_info->sock = -1;
    release_client_associations(psock_info);
    LOG_DEBUG("List of SockInfo %p", static_cast<void *>(&connection_list));
    delete_sock_info_from_list(psock_info);
}

// Fills the read set; returns the number of records and the highest descriptor.
static int build_read_set(fd_set *read_set, int *max_fd)
{
    int count = 0;
    *max_fd = -1;
    FD_ZERO(read_set);
    list_for_each(pos, &connection_list)
    {
        SOCKET sock = list_entry<_sock_info>(pos)->sock;
        count++;
        if (sock < 0 || sock >= TARVEX_SELECT_LIMIT)
            continue;
        FD_SET(sock, read_set);
        if (sock > *max_fd)
            *max_fd = sock;
    }
    return count;
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

// Walks the list once, serving each ready descriptor.
static void serve_ready_records(fd_set *read_set, int ready)
{
    list_for_each(pos, &connection_list)
    {
        if (ready <= 0)
            break;
        _sock_info *psock_info = list_entry<_sock_info>(pos);
        if (psock_info->sock < 0 || !FD_ISSET(psock_info->sock, read_set))
            continue;
        ready--;
        if (serve_ready_record(psock_info))
            return;
    }
}

void non_blocking_accept_main()
{
    LOG_DEBUG("Entering non_blocking_accept_main");
    while (!list_empty(&connection_list)) {
        fd_set read_set;
        int max_fd;
        int count = build_read_set(&read_set, &max_fd);
        if (ask_to_kill && count == 1) {
            LOG_DEBUG("ask_to_kill not asked");
            exit(1);
        }
        struct timeval timeout = {HEART_BEAT_INTERVAL, 0};
        int ready = select(max_fd + 1, &read_set, nullptr, nullptr, &timeout);
        if (ready < 0) {
            LOG_ERROR("select failed. Error = %d", errno);
            sleep(3);
            continue;
        }
        if (ready == 0) {
            LOG_DEBUG("No connections/data in the last %ld seconds.", HEART_BEAT_INTERVAL);
            continue;
        }
        serve_ready_records(&read_set, ready);
    }
}
