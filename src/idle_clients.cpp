#include "idle_clients.h"

#include <arpa/inet.h>
#include <sys/socket.h>

#include <cstdio>
#include <cstring>

#include "access.h"
#include "client_cycle.h"
#include "sock_info.h"
#include "tarvex_connection.h"
#include "tarvex_log.h"
#include "test_timing.h"

static unsigned idle_max = TARVEX_IDLE_MAX_DEFAULT;
static uint64_t idle_timeout_ms = TARVEX_IDLE_TIMEOUT_DEFAULT_MS;
// The list is walked for time-outs at most this often, and not before the
// first connection could have timed out.
constexpr uint64_t IDLE_SCAN_MS = 1000;
static uint64_t next_scan_ms;

void idle_set_limits(unsigned max_per_peer, uint64_t timeout_ms)
{
    idle_max = max_per_peer;
    idle_timeout_ms = timeout_ms;
}

static bool idle(const _sock_info *c, uint64_t now)
{
    return !c->is_socket_listening && c->phase == CLIENT_READING && c->recd_data.wanted == 0 &&
           now - c->last_input_ms >= static_cast<uint64_t>(tarvex_waits.idle_grace_ms) &&
           get_connection_by_sock(c) == nullptr;
}

// A peer is its uid where the server knows it (the Unix socket's peer
// credentials, a loopback owner under the access rules), else its address.
static bool same_peer(const _sock_info *a, const _sock_info *b)
{
    bool a_uid = a->peer_uid != ACCESS_UID_UNKNOWN, b_uid = b->peer_uid != ACCESS_UID_UNKNOWN;
    if (a_uid || b_uid)
        return a_uid && b_uid && a->peer_uid == b->peer_uid;
    return a->peer_family == b->peer_family && memcmp(a->peer_address, b->peer_address, sizeof(a->peer_address)) == 0;
}

struct peer_label {
    char text[64];
};

static peer_label label_of(const _sock_info *c)
{
    peer_label l;
    char address[INET6_ADDRSTRLEN] = "?";
    if (c->peer_uid != ACCESS_UID_UNKNOWN) {
        snprintf(l.text, sizeof(l.text), "uid %u", c->peer_uid);
        return l;
    }
    inet_ntop(c->peer_family, c->peer_address, address, sizeof(address));
    snprintf(l.text, sizeof(l.text), "%s", address);
    return l;
}

static const char *name_of(const _sock_info *c)
{
    return c->client_name[0] != '\0' ? c->client_name : "unnamed";
}

_sock_info *idle_next_over_bound(const _sock_info *newcomer, uint64_t now)
{
    if (idle_max == 0)
        return nullptr;
    unsigned count = 0;
    _sock_info *oldest = nullptr;
    list_for_each(pos, &connection_list)
    {
        _sock_info *c = list_entry<_sock_info>(pos);
        if (c == newcomer || !same_peer(c, newcomer) || !idle(c, now))
            continue;
        count++;
        if (oldest == nullptr || c->last_input_ms < oldest->last_input_ms)
            oldest = c;
    }
    if (count <= idle_max)
        return nullptr;
    LOG_WARNING("closed an idle connection of %s (socket %d, %s, silent for %llu s, no probe open): the peer has "
                "more than %u idle connections (--idle-max)",
                label_of(oldest).text, oldest->sock, name_of(oldest),
                static_cast<unsigned long long>((now - oldest->last_input_ms) / 1000), idle_max);
    return oldest;
}

_sock_info *idle_next_expired(uint64_t now)
{
    if (idle_timeout_ms == 0 || now < next_scan_ms)
        return nullptr;
    list_for_each(pos, &connection_list)
    {
        _sock_info *c = list_entry<_sock_info>(pos);
        if (now - c->last_input_ms < idle_timeout_ms || !idle(c, now))
            continue;
        LOG_WARNING("closed an idle connection of %s (socket %d, %s): nothing sent and no probe open for %llu s "
                    "(--idle-timeout)",
                    label_of(c).text, c->sock, name_of(c),
                    static_cast<unsigned long long>((now - c->last_input_ms) / 1000));
        return c;
    }
    next_scan_ms = now + (idle_timeout_ms < IDLE_SCAN_MS ? idle_timeout_ms : IDLE_SCAN_MS);
    return nullptr;
}

uint64_t idle_next_check_ms()
{
    // Clients come after the listening records: a listening record last
    // means there is no client to time out.
    if (idle_timeout_ms == 0 || list_empty(&connection_list) ||
        list_entry<_sock_info>(connection_list.prev)->is_socket_listening)
        return UINT64_MAX;
    return next_scan_ms;
}
