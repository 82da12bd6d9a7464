// The per-socket record: every listening and client socket has one, with a
// fixed staging buffer in which a request is received and its reply built.
#pragma once

#include <cstdint>

#include "list.h"
#include "tarvex_wire.h"

typedef int SOCKET;

constexpr int TARVEX_DATA_BUFFER_SIZE = tarvex_wire::STAGING_BUFFER_SIZE;
constexpr int TARVEX_CLIENT_NAME_SIZE = tarvex_wire::CLIENT_NAME_SIZE;

struct data_buffer {
    uint8_t buf[TARVEX_DATA_BUFFER_SIZE]; // request in, reply built over it in place
    int32_t data_size;                    // reply bytes still to send
    uint32_t send_offset;                 // position in buf of the next reply byte
    uint32_t used;                        // buf is zero from here on: what the next receive must clear
    uint32_t received;                    // request bytes in buf
    uint32_t wanted;                      // a memory write waits until this many request bytes are in buf
    uint8_t *extra;                       // owned: reply bytes sent after buf's (a large memory read)
    uint32_t extra_size;                  // bytes of extra still to send, from extra_offset
    uint32_t extra_offset;
};

struct _sock_info {
    list_head list_entry; // must stay first: link in connection_list
    SOCKET sock;          // -1 when none or closed
    bool is_socket_listening;
    data_buffer recd_data;
    bool is_fd_close_recd;
    uint32_t key; // unique for the life of the process, from 1 upward
    char client_name[TARVEX_CLIENT_NAME_SIZE];
    // Written by client_cycle.cpp only, but events (by the loop's epoll calls).
    uint8_t phase;               // client_phase (client_cycle.h)
    list_head wait_link;         // on the list of clients with a deadline, or of those held
                                 // behind a refresh (never both)
    uint64_t deadline_ms;        // GATHERING: the whole payload; SENDING: the next progress
    uint32_t events;             // what the loop watches the socket for now
    uint32_t peer_uid;           // owner of the peer's socket when known, else ACCESS_UID_UNKNOWN (access.h)
    uint8_t peer_family;         // AF_INET, AF_INET6 (an IPv4-mapped peer as AF_INET) or AF_UNIX
    uint8_t peer_address[16];    // the peer's address; an IPv4 one in the first 4 bytes
    uint64_t last_input_ms;      // when the client last sent anything, or connected
    uint64_t connected_ms;       // when it was accepted
    uint64_t wait_until_ms;      // RTT_WAIT: when the read's wait for bytes ends
    uint64_t wait_position;      // RTT_WAIT: the position the read waits at ("end" resolved)
    struct tcp_request *request; // owned: the slot its requests and probe operations run in (tarvex_tcp_cmd.h)
};

extern list_head connection_list;
// How many records of connection_list are listening sockets.
extern unsigned listening_records;

_sock_info *alloc_sock_info();
// A record that takes no key (key 0): the listening sockets beyond the
// first, so that clients' keys stay what they are with one listener.
_sock_info *alloc_sock_info_keyless();
void free_sock_info(_sock_info *psock_info);
// Number of records in connection_list, listening sockets included.
unsigned get_nb_tcp_client();
