// Client sessions: the associations that tie a client socket to an opened
// probe, their keys, the close of a probe by its last user, and the auto-exit
// rule.
#pragma once

#include <cstdint>

#include "list.h"

struct _sock_info;
struct tarvex_usb;

struct tarvex_assoc {
    list_head list;                // must stay first: link in assoc_list
    _sock_info *sock_info;         // not owned
    struct tarvex_usb *tarvex_usb; // not owned; null once the probe was removed
    bool valid;                    // false once a refresh removed the probe
    bool closing;                  // a close has begun; the association goes when it ends
    uint32_t key;                  // the connection id clients quote
};

// All associations in creation order.
extern list_head assoc_list;
extern volatile bool auto_exit_flag;
// The exit request read by the event loop; never cleared once set.
extern volatile bool ask_to_kill;

// A new association of the client with the probe, appended to assoc_list; null
// when out of memory (the registry is then unchanged).
tarvex_assoc *make_connection(struct tarvex_usb *usb, _sock_info *psock_info);
// The association for an open: every call makes a new one (see the .cpp).
tarvex_assoc *add_connection(struct tarvex_usb *usb, _sock_info *psock_info);
// Returns the next association key (256 upward, never reused) and advances it.
uint32_t new_assoc_index();

tarvex_assoc *get_connection_by_name(uint32_t key_to_find);
// The first association, in creation order, of the client with psock_info's key.
tarvex_assoc *get_connection_by_sock(const _sock_info *psock_info);

// Number of valid associations on the probe with key usb_key; with a
// client_name, only those of clients that registered that name.
unsigned get_nb_client_for_usb(uint32_t usb_key, const char *client_name = nullptr);
// Number of associations of all clients, invalid ones included.
unsigned get_tcp_number_client();

// Closing an association, in three steps, so that the probe's part can run on
// the probe's worker while the loop keeps the association list to itself.
// When it is the last association on its probe, the probe's USB device is
// closed and its entry is no longer open for clients.
struct assoc_close {
    uint32_t key;
    struct tarvex_usb *usb; // the probe the close acts on; null: no probe part
    bool leave_mode;        // the last user takes the probe out of its mode first
    bool last_user;         // no other association stays on the probe
    bool began;             // this close marked the association; only it ends it
};
// Loop: marks the association closing and fills c. True when there is a probe
// part to run (the association reaches a probe and was not closing already).
bool close_connection_begin(uint32_t assoc_id, bool leave_mode, assoc_close *c);
// The probe's part: for the last user, the mode exit (when asked) and the
// USB close. Touches only the probe's handle.
void close_connection_probe_part(const assoc_close *c);
// Loop: releases the association and applies the auto-exit rule. Returns 0,
// also for an unknown key.
int close_connection_end(const assoc_close *c);
// Unlinks and frees one association without any of the close steps.
void free_connection(tarvex_assoc *assoc);
// Makes every association on the entry invalid, so none reaches it again.
void invalidate_connections_of(const struct tarvex_usb *usb);

// Sets ask_to_kill when auto-exit is on and exactly wanted_client
// associations exist. Returns ask_to_kill.
bool evaluate_auto_kiil(unsigned wanted_client);
