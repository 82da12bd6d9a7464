// Who may use the server. Clients of the protocol send no credentials, so
// the server finds out who is connecting by itself: the peer credentials of
// a Unix-domain socket, the owner of a loopback client's socket (one exact
// socket-diagnostics query per accepted connection), the peer's address.
// Without the --allow-* options every connection is admitted, as always.
#pragma once

#include "result_codes.h"

#include <sys/socket.h>

#include <cstddef>
#include <cstdint>

struct _sock_info;

// The owner of a peer that is not known: a remote host, or a socket the
// kernel no longer has.
constexpr uint32_t ACCESS_UID_UNKNOWN = UINT32_MAX;

// Option codes of the access and listening options, past every character
// getopt_long may return.
enum access_option_code : int {
    OPT_LISTEN = 0x100,
    OPT_UNIX,
    OPT_UNIX_MODE,
    OPT_UNIX_GROUP,
    OPT_ALLOW_USER,
    OPT_ALLOW_GROUP,
    OPT_ALLOW_NETWORK,
};

// One --allow-* option; false when code is none of them. A bad value is
// logged as an error and stops the server at start.
bool access_handle_option(int code, const char *arg);
// Logs "--OPTION ARG: WHY" as an error and marks the options bad.
void access_reject_option(const char *option, const char *arg, const char *why);
// True when an option named nothing usable: the server must not start.
bool access_options_bad();
// After the listening sockets are made: 0 when the checks can run; logs
// the rules in force, and where they hold, in one info line.
// beyond_loopback: a listener is reachable from the network.
int access_start(bool beyond_loopback, const char *listening);

// Decides on a connection just accepted on client->sock, peer its address.
// Admitted: true, with the client's owner (and, on a Unix socket, its
// default name) set. Refused: false after one warning line; the caller
// closes the socket before reading anything.
bool access_admit(_sock_info *client, const struct sockaddr_storage *peer);
// The --allow-network rules alone, for a connection of the HTTP side: true
// when there are none or the peer is inside one; a refusal is logged and
// counted as the probe port's are.
bool access_network_admits(const struct sockaddr *peer, socklen_t length);
// Whether this client may end the service ("tarvex-exit"); a refusal is
// logged as a warning.
bool access_may_end_server(const _sock_info *client);

// Records who the peer of a connection just accepted is, for the bound on
// idle connections: its address (peer_family, peer_address).
void access_note_peer(_sock_info *client, const struct sockaddr_storage *peer);

// Whether this client may end another client's hold: on the Unix socket
// only (the kernel names the peer), root, the server's user or a member of
// the server's group. A refusal is logged as a warning. The client's
// "NAME (uid N)" goes into `who` either way.
bool access_may_release_holds(const _sock_info *client, char *who, size_t size);

// 127.0.0.0/8, ::1, or an IPv4 loopback address mapped into IPv6.
bool access_is_loopback(const struct sockaddr_storage *addr);
// "127.0.0.1:7184", "[::1]:7184" or "unix:/path" into out.
void access_format_address(const struct sockaddr *addr, char *out, size_t size);
