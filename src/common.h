// Listening sockets, and the time limits of client connections.
#pragma once

#include <sys/socket.h>

#include <cstdint>

typedef int SOCKET;

struct _sock_info;

struct accept_context {
    char address_family;          // declared; nothing sets or reads it
    const char *listen_interface; // declared; shown only in a debug line
    char *port;                   // TCP port as decimal text, heap copy
};

extern accept_context accept_ctx;
// Non-zero: listen on every interface instead of 127.0.0.1.
extern int network_flag;

void init_sockinfo(const char *port);
// True when the last bind attempted succeeded.
bool create_listening_sockets();
// Closes the socket of every record in connection_list; records stay.
void destroy_listening_sockets();
void print_address_string(const struct sockaddr *sock_addr, socklen_t addr_len);

// A client whose pending reply makes no progress for this long is dropped,
// so one client that never reads cannot hold anything up.
constexpr int TARVEX_SEND_TIMEOUT_S = 5;
// A memory write's payload must be complete this long after its command line.
constexpr int TARVEX_WRITE_DATA_TIMEOUT_MS = 10000;
// A connection that has sent nothing for this long, with no probe open,
// counts as idle (idle_clients.h); a client between two requests never does.
constexpr int TARVEX_IDLE_GRACE_MS = 5000;
// Raises the soft limit on open descriptors to the hard one, so that the
// server serves as many clients as the process may have descriptors.
void raise_descriptor_limit();
