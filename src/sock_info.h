// The per-socket record: every listening and client socket has one, with a
// fixed staging buffer in which a request is received and its reply built.
#pragma once

#include <cstdint>

#include "list.h"

typedef int SOCKET;

constexpr int TARVEX_DATA_BUFFER_SIZE = 32768;
constexpr int TARVEX_CLIENT_NAME_SIZE = 50;

struct data_buffer {
    uint8_t buf[TARVEX_DATA_BUFFER_SIZE]; // request in, reply built over it in place
    int32_t data_size;                    // reply bytes still to send
    uint32_t send_offset;                 // position in buf of the next reply byte
    bool transaction_in_progress;         // from receive until the reply is fully sent
    uint32_t used;                        // buf is zero from here on: what the next receive must clear
};

// Records that buf may hold non-zero bytes below `extent`. Whoever writes
// into buf past both the request received and the reply left in it (the rest
// of a memory write's payload) must say so, or those bytes would survive into
// the next request.
inline void data_buffer_mark_used(data_buffer *d, uint32_t extent)
{
    if (extent > d->used)
        d->used = extent;
}

struct _sock_info {
    list_head list_entry; // must stay first: link in connection_list
    SOCKET sock;          // -1 when none or closed
    bool is_socket_listening;
    data_buffer recd_data;
    int32_t total_recd;
    int32_t total_sent;
    bool is_fd_close_recd;
    uint32_t key; // unique for the life of the process, from 1 upward
    char client_name[TARVEX_CLIENT_NAME_SIZE];
};

extern list_head connection_list;

_sock_info *alloc_sock_info();
void free_sock_info(_sock_info *psock_info);
void delete_sock_info_from_list(_sock_info *del_sock_info);
// Number of records in connection_list, listening sockets included.
unsigned get_nb_tcp_client();
