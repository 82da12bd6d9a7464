// The server's capture of one RTT up channel: a ring of the newest bytes and
// the running position of the byte after the last one captured. Readers keep
// their own positions; the ring keeps nothing of them, so a reader that stops
// reading holds up nothing, and one that falls behind is told how much it
// lost. Loop thread only.
#pragma once

#include <cstdint>

struct rtt_ring {
    uint8_t *data; // capacity bytes, owned (rtt_ring_init / rtt_ring_free)
    uint32_t capacity;
    uint64_t end; // position of the next byte to be captured
};

// 0, or -1 when the memory cannot be had.
int rtt_ring_init(rtt_ring *r, uint32_t capacity);
void rtt_ring_free(rtt_ring *r);
// Appends n bytes; the oldest fall out when the ring is full.
void rtt_ring_append(rtt_ring *r, const uint8_t *bytes, uint32_t n);
// The oldest position still held.
uint64_t rtt_ring_start(const rtt_ring *r);
// Copies at most max bytes from position from (clamped to what is held:
// *start is the first position copied, *lost the bytes from `from` to *start
// no longer held; a position past the end reads as the end). Returns the
// bytes copied.
uint32_t rtt_ring_read(const rtt_ring *r, uint64_t from, uint8_t *out, uint32_t max, uint64_t *start, uint64_t *lost);
