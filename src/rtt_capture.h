// The RTT capture of each probe: who wants it, where to look, the block it
// follows, the rings of what the up channels wrote and the queues of what
// clients gave the down channels, and the one look (a search or a poll) that
// may be on the probe's worker at a time. Loop thread only, but for the work
// part of that look (rtt_capture.cpp says what it touches).
#pragma once

#include <cstddef>
#include <cstdint>

#include "rtt_block.h"

struct _sock_info;
struct tarvex_usb;

constexpr uint64_t RTT_POLL_MAX_DEFAULT_MS = 100;
constexpr uint32_t RTT_RING_KIB_DEFAULT = 64;
// --rtt-poll-max-ms: the longest pause between polls of a quiet block (also
// between looks for a block not found); --rtt-ring-kib: each up channel's ring.
void rtt_capture_set_limits(uint64_t poll_max_ms, uint32_t ring_kib);

// tarvex-rtt-start: where to look from now on (address 0: scan ram); with
// want, c wants capture on usb. 0, or RESULT_FAIL for a bad place.
int rtt_capture_start(tarvex_usb *usb, const _sock_info *c, bool want, rtt_range ram, uint32_t address);
// tarvex-rtt-stop: c no longer wants capture on usb. 0.
int rtt_capture_stop(tarvex_usb *usb, const _sock_info *c);
// The status lines of usb's capture into out (a text of at most size - 1
// bytes, NUL-terminated); returns its length.
size_t rtt_capture_status(const tarvex_usb *usb, char *out, size_t size);

struct rtt_read_ask {
    uint32_t channel;
    bool from_end; // only what comes next; position is ignored
    uint64_t position;
    uint32_t max;
};
struct rtt_read_answer {
    int result; // 0, RESULT_RTT_STOPPED or RESULT_RTT_GONE (then len is 0)
    uint64_t start;
    uint64_t lost;
    uint32_t len;
    bool may_wait; // len 0 and capture runs: more may come
};
// tarvex-rtt-read: copies the bytes asked for into out (max bytes).
void rtt_capture_read(const tarvex_usb *usb, const rtt_read_ask &ask, uint8_t *out, rtt_read_answer *answer);
struct rtt_channel_view {
    uint32_t channel;
    uint64_t captured; // bytes captured since capture began (the ring's end)
    uint64_t lost;     // of those, the ones newer bytes pushed out of the ring
};
// The up channels of usb's capture that have captured into a ring, at most
// max into out; returns their count.
size_t rtt_capture_channels(const tarvex_usb *usb, rtt_channel_view *out, size_t max);
// tarvex-rtt-write: queues what the down channel's queue takes. 0 with
// *accepted set, RESULT_RTT_STOPPED when nobody wants capture, RESULT_RTT_GONE.
int rtt_capture_write(tarvex_usb *usb, uint32_t channel, const uint8_t *bytes, uint32_t len, uint32_t *accepted);

// The connection of c ended, or c closed its last association on usb (null:
// every probe): its wants go.
void rtt_capture_client_gone(const _sock_info *c, const tarvex_usb *usb = nullptr);
// A job that resets usb's target went to its worker: no look is queued
// behind it until it has finished (rtt_capture_reset_seen).
void rtt_capture_reset_queued(const tarvex_usb *usb);
// The server performed or passed on a reset of usb's target: the block is
// looked for again.
void rtt_capture_reset_seen(const tarvex_usb *usb);
// The entry was found on the bus again: capture still wanted looks again.
void rtt_capture_probe_back(const tarvex_usb *usb);
// The entry leaves the registry: its capture and what it captured go.
// REQUIRES: no probe work in flight.
void rtt_capture_forget(const tarvex_usb *usb);

// When the next look of any probe is due, or UINT64_MAX.
uint64_t rtt_capture_next_deadline_ms();
// After every loop cycle: capture pauses or resumes with the holds, and the
// looks due at now go to their probes' workers (none while a refresh waits).
void rtt_capture_run(uint64_t now, bool refresh_waits);
// Changes whenever a waiting reader may have an answer: bytes came, capture
// stopped, a probe went.
uint64_t rtt_capture_wake_count();
