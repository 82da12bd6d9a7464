#pragma once

#include <cstdint>

struct _sock_info;

// The event loop; returns only when connection_list is empty.
void non_blocking_accept_main();
// Accepts one connection on a listening record; the new record, or null.
_sock_info *process_accept_event(_sock_info *psock_info);

// The loop's watching of a client's socket, for the client cycle
// (client_cycle.h). What the socket is watched for: reading, writing or
// nothing (hang-ups and errors are reported all the same).
void loop_watch_for(_sock_info *c, uint32_t events);
// The socket leaves the epoll set only: the record stays watched by nobody.
void loop_ignore_socket(_sock_info *c);
// The socket leaves the epoll set and the client list and is closed.
void loop_close_client(_sock_info *c);
