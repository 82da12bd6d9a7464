// Listening sockets and the socket I/O of client records.
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

// Receives and processes one request; true when the client must be closed.
bool process_read_event(_sock_info *psock_info);
// Sends the pending reply to its end; true when the connection has failed.
bool send_data(_sock_info *psock_info);
// Sends header text then size_buffer bytes in one gathered write, completing
// short writes; true when the connection has failed (the record is then
// marked for closing).
bool send_data_v(_sock_info *h, const char *str, const uint8_t *buffer, uint32_t size_buffer);
// Client sockets block; a send that makes no progress for this long fails
// (SO_SNDTIMEO), so one client that never reads cannot hold the server.
constexpr int TARVEX_SEND_TIMEOUT_S = 5;
// Sends all bytes or fails; true on failure. Never raises SIGPIPE.
bool send_all(SOCKET sock, const uint8_t *data, size_t size);
