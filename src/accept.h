#pragma once

struct _sock_info;

// The event loop; returns only when connection_list is empty.
void non_blocking_accept_main();
// Accepts one connection on a listening record; the new record, or null.
_sock_info *process_accept_event(_sock_info *psock_info);
