// One look at the target's RTT block, done on the probe's worker: the
// search for the block (at an address, or by a scan of a RAM range) and the
// poll of a block found. Both go through rtt_target, so that the same steps
// run on a probe's handle and on a test's memory. What a poll may write is
// fixed here: the RdOff of each up channel it drained, and the data and WrOff
// of each down channel it fed; nothing else, and nothing of a block that did
// not pass its checks.
#pragma once

#include <cstdint>

#include "rtt_block.h"

// Memory access for one look: 0 or a result code; write of 4 bytes at a
// 4-byte aligned address must be one 32-bit access (the firmware reads the
// offsets it shares with us as whole words). others_wait (may be null) tells
// whether other work waits for the probe: a poll then makes way after the
// access in flight (the step it stands at is kept for the next job), so
// that it delays that work by no more than one access and any input it
// carries.
struct rtt_target {
    void *ctx;
    int (*read)(void *ctx, uint32_t addr, uint32_t len, uint8_t *out);
    int (*write)(void *ctx, uint32_t addr, uint32_t len, const uint8_t *in);
    bool (*others_wait)(void *ctx) = nullptr;
};

// Valid blocks a scan keeps watching to tell the live one from stale ones.
constexpr uint32_t RTT_SEARCH_CANDIDATES = 4;

// The names of a block's channels as read, each NUL-terminated; "" for a
// channel without one.
struct rtt_channel_names {
    char up[RTT_MAX_CHANNELS][RTT_NAME_LIMIT];
    char down[RTT_MAX_CHANNELS][RTT_NAME_LIMIT];
};

// What a search is asked and what it found.
struct rtt_search {
    rtt_range ram;
    uint32_t address; // the block's address, or 0 to scan ram
    // out
    int result;      // 0 found one block to attach; RESULT_RTT_REFUSED; or the access's failure
    rtt_block block; // the block to attach
    uint32_t blocks; // valid blocks the scan found
    char why[64];    // the refusal's reason, "" when attached
    // The attached block's channel names.
    rtt_channel_names names;
    // The valid blocks a scan found (the first RTT_SEARCH_CANDIDATES of them)
    // as they were seen: what the next search of the same range compares
    // with to tell the live one.
    rtt_block candidates[RTT_SEARCH_CANDIDATES];
    uint32_t candidate_count;
};

// Bytes carried by one poll, in each direction, and the cap on what one
// poll drains from all up channels together.
constexpr uint32_t RTT_POLL_BYTES = 64 * 1024;
// An up channel's bytes are read at most this many at a time, never across
// a multiple of it: the probe moves one such block of words per command (its
// address counter wraps there), so each piece is one command, and a poll
// that must make way for other work stops between two of them.
constexpr uint32_t RTT_POLL_PIECE = 1024;

struct rtt_poll {
    rtt_block block; // in: the block as last seen; out: as this poll saw it
    rtt_range ram;
    // in: the bytes waiting for each down channel (the loop's queue, copied),
    // one channel's after the other's
    uint8_t down_data[RTT_POLL_BYTES];
    uint32_t down_len[RTT_MAX_CHANNELS];
    // in: the up channel whose turn it is; out: the next one's (the channel
    // after the one served in turn)
    int32_t first;
    // in/out: the poll served channel 0 out of turn (it goes first only
    // every other poll, so that a flooded terminal leaves the others turns)
    bool terminal_first;
    // in/out: a poll that made way for other work stands between two of its
    // accesses, and the next job on the same p goes on from there: block is
    // as this poll read it, and channel's first `got` bytes of the `want` it
    // drains are in up_data, their RdOff not yet written. The caller clears
    // `resume` to start a poll afresh (the block was to be looked for again).
    bool resume;
    int32_t channel; // -1: not chosen yet
    uint32_t want;
    uint32_t got;
    // out
    int result; // 0; RESULT_RTT_REFUSED when the block changed (why says how); or the access's failure
    char why[64];
    bool cut;                              // made way, or more bytes wait: poll again at once
    uint32_t down_taken[RTT_MAX_CHANNELS]; // bytes of each down channel's data written
    uint8_t up_data[RTT_POLL_BYTES];       // the up channels' bytes, in the order drained
    uint32_t up_at[RTT_MAX_CHANNELS];      // where each channel's bytes start in up_data
    uint32_t up_len[RTT_MAX_CHANNELS];
};

// Worker: looks for a block as asked; with several valid blocks in a scan,
// settles only on one that moved since the previous search of the same
// range (prev, may be null; a caller keeps the last search for this).
void rtt_search_run(const rtt_target &t, rtt_search *s, const rtt_search *prev);
// Worker: one poll of an attached block.
void rtt_poll_run(const rtt_target &t, rtt_poll *p);
