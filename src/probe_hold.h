// Exclusive holds on probes, for clients with multi-step work (a flash
// programming, a test run) that must not be interleaved with other clients'
// requests. A client holds a probe until it releases it, its connection ends,
// it closes its last association with the probe, the probe leaves the
// registry, or the hold outlives --hold-max. Requests of other clients that
// would reach a held probe wait in that probe's queue in arrival order, each
// up to its wait limit. Loop thread only: the probe workers know nothing of
// holds; a waiting request simply has not been submitted yet.
#pragma once

#include <cstddef>
#include <cstdint>

#include "result_codes.h"
#include "tarvex_wire.h"

struct _sock_info;
struct tarvex_usb;

// A request refused for a hold answers ERROR_PROBE_HELD (result_codes.h)
// where its reply carries a result: at once with no wait, or once the wait
// limit passed.

// --hold-wait: how long an ordinary request waits behind another client's
// hold (default 30 s). --hold-max: how long a hold may last (0: no limit).
void probe_hold_set_limits(uint64_t wait_ms, uint64_t max_ms);
uint64_t probe_hold_wait_ms();

enum hold_admission : uint8_t {
    HOLD_GO,      // the request may go to the probe now
    HOLD_QUEUED,  // it waits in the probe's queue; its request stays in the client's buffer
    HOLD_REFUSED, // it may not wait (a limit of 0): answer its failure now (logged)
};
// A request of c that would send commands to usb. A client presented again by
// probe_hold_next_ready keeps its place and its first deadline.
hold_admission probe_hold_admit(tarvex_usb *usb, _sock_info *c, uint64_t wait_ms);
// Makes c the holder of usb (after HOLD_GO); nothing changes when it is already.
void probe_hold_take(tarvex_usb *usb, _sock_info *c);
// Ends c's hold on usb. 0, or -1 when c does not hold it. A client that
// joined the hold (probe_hold_join) may release too: 0, and the hold stays
// with its holder, so a command run under it cannot end it early.
int probe_hold_release(const tarvex_usb *usb, const _sock_info *c);

// A hold is shared by its token: a holder hands it to the commands it runs,
// whose own connections join the hold with it and are then let through as
// the holder is. The token is random, made when first asked for, and dies
// with the hold, so a stale one or a guessed one names nothing.
constexpr unsigned PROBE_HOLD_TOKEN_CHARS = tarvex_wire::HOLD_TOKEN_CHARS;
// The token of the hold on usb into token (PROBE_HOLD_TOKEN_CHARS + 1
// bytes): 0, or -1 when c neither holds usb nor joined its hold.
int probe_hold_share(const tarvex_usb *usb, const _sock_info *c, char *token);
// c joins the hold on usb that token names: 0 (also when it holds it or
// joined already), or -1 when no hold on usb carries that token (logged).
int probe_hold_join(const tarvex_usb *usb, _sock_info *c, const char *token);
// An administrator ends the hold on usb, whoever holds it: 0 with the
// holder's name in `holder`, or -1 when nobody holds the probe.
int probe_hold_force_release(const tarvex_usb *usb, char *holder, size_t size);

// The connection of c ended (before its socket is closed): its holds end and
// its waiting request is dropped. A client that had joined a hold that has
// since ended is refused on that probe until its connection ends: the work
// it did under the hold must not go on beside other clients'.
void probe_hold_client_gone(const _sock_info *c);
// An association on usb has ended: the hold ends when its holder has no other.
void probe_hold_association_ended(const tarvex_usb *usb);
// The entry is leaving the registry: its hold ends, its waiters go on.
void probe_hold_forget(const tarvex_usb *usb);

struct probe_hold_info {
    char holder[40]; // the holder's client name, or "socket-N"; empty when not held
    uint64_t age_ms;
    unsigned waiters;
};
// The holder of usb, or null when nobody holds it.
const _sock_info *probe_hold_holder(const tarvex_usb *usb);
// What a client sees of the hold on usb.
void probe_hold_query(const tarvex_usb *usb, probe_hold_info *info);

// The names of the clients waiting behind the hold on usb, in their order,
// at most max into names; returns how many there are in all.
size_t probe_hold_waiter_names(const tarvex_usb *usb, char (*names)[sizeof(probe_hold_info::holder)], size_t max);

// The next client whose waiting request must be presented again now that the
// hold it waited behind has ended, or null. Call until null after anything
// that may end a hold, before any other request is served. The client keeps
// its place (its first deadline, taken back by its next probe_hold_admit)
// until probe_hold_presented.
_sock_info *probe_hold_next_ready();
// The request of c that probe_hold_next_ready returned has been presented
// again: a place it did not take back (its request no longer reached a held
// probe) is dropped.
void probe_hold_presented(const _sock_info *c);
// The nearest deadline of a waiting request or of a hold (--hold-max), or
// UINT64_MAX.
uint64_t probe_hold_next_deadline_ms();
// The next waiting client whose wait limit has passed at `now`, taken out of
// its queue (logged, with the holder), or null: its request must be answered
// with its failure.
_sock_info *probe_hold_next_expired(uint64_t now);
// Ends the holds that have lasted --hold-max at `now`.
void probe_hold_end_expired(uint64_t now);
