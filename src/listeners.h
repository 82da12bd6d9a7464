// Where the server listens beyond the one IPv4 address: the IPv6 loopback
// beside it, the addresses of --listen, a Unix-domain socket (--unix), or
// the sockets a service manager passes (LISTEN_FDS), in which case the
// server binds nothing itself.
#pragma once

#include <sys/socket.h>

#include <cstddef>

// One --listen or --unix* option; false when code is none of them.
bool listeners_handle_option(int code, const char *arg);

struct listen_address {
    struct sockaddr_storage addr; // port still 0
    socklen_t length;
    bool optional; // the IPv6 default, skipped on a host without IPv6
};
// An IPv4 or IPv6 literal, the latter with or without brackets, into out
// (port 0): 0, or -1 when the text is neither.
int listeners_parse_address(const char *text, listen_address *out);
// The TCP addresses to bind: those of --listen, else 127.0.0.1 and ::1
// (0.0.0.0 and :: when network_enabled). Returns the count.
size_t listeners_tcp_addresses(bool network_enabled, listen_address *out, size_t max);

// The listening sockets the service manager passed, into fds; the count
// (0 when not socket-activated, -1 when one of them is unusable).
int listeners_inherited(int *fds, int max);
// The --unix socket, bound and listening, or -1 (logged). No --unix: -2.
int listeners_open_unix();
// Removes the socket file this process made; safe in a signal handler.
void listeners_remove_unix();

// "127.0.0.1:7184 [::1]:7184 unix:/run/x.sock 0660 tarvex": the listening
// records of connection_list. True when one of them listens beyond loopback.
bool listeners_describe(char *out, size_t size);
