// Listening sockets and the socket I/O of client records.
#pragma once

#include <sys/socket.h>

#include <cstdint>

#include "tarvex_tcp_cmd.h"

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

// Client sockets are non-blocking; the event loop calls these when a socket
// is ready. Receives on a client: a new request (one recv, which is one
// request), or the next piece of a memory write's payload up to
// recd_data.wanted. Returns 1 when a whole request is in the buffer, 0 when
// nothing (more) is there yet, -1 when the connection ended or failed.
int receive_request(_sock_info *psock_info);
// Hands the request in the buffer to the dispatcher.
tcp_cmd_outcome process_request(_sock_info *psock_info);
// Records how far the reply now in the buffer reaches, so the next receive
// clears it. Call once a reply is there, before sending it.
void note_reply_extent(_sock_info *psock_info);
// Sends as much of the pending reply (buffer part, then recd_data.extra) as
// the socket takes now. Returns 1 when all of it has gone (extra is then
// freed), 0 when the rest must wait for the socket to be writable, -1 when
// the connection failed.
int send_reply(_sock_info *psock_info);
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
// The error line of a client dropped for a stalled send.
void log_stalled_send(SOCKET sock);
