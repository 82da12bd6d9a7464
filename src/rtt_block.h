// The firmware's RTT control block as the server sees it: the checks a block
// must pass before anything is read through it or written into it, and the
// scan of a RAM range for its ID. Pure functions over bytes read from the
// target; no thread of its own, no I/O.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>

#include "tarvex_wire.h"

constexpr uint32_t RTT_ID_SIZE = 16;
constexpr uint32_t RTT_HEADER_SIZE = 24;     // the ID and the two counts
constexpr uint32_t RTT_DESCRIPTOR_SIZE = 24; // sName pBuffer SizeOfBuffer WrOff RdOff Flags
constexpr uint32_t RTT_NAME_LIMIT = 32;      // a name's bytes, its NUL included
constexpr int32_t RTT_MAX_CHANNELS = tarvex_wire::RTT_CHANNEL_LIMIT;
// Offsets inside a descriptor.
constexpr uint32_t RTT_DESC_WR_OFF = 12;
constexpr uint32_t RTT_DESC_RD_OFF = 16;

struct rtt_range {
    uint32_t base;
    uint32_t len;
};

struct rtt_channel {
    uint32_t name_addr; // 0 when the channel has no name
    uint32_t buffer;
    uint32_t size;
    uint32_t wr_off;
    uint32_t rd_off;
    uint32_t flags; // bits 0-1: RTT_MODE_*
};

constexpr uint32_t RTT_MODE_SKIP = 0;
constexpr uint32_t RTT_MODE_TRIM = 1;
constexpr uint32_t RTT_MODE_BLOCK = 2;

// A block that passed rtt_block_check: where it is and what it declared.
struct rtt_block {
    uint32_t address;
    int32_t up_count;
    int32_t down_count;
    std::array<rtt_channel, RTT_MAX_CHANNELS> up;
    std::array<rtt_channel, RTT_MAX_CHANNELS> down;
};

// [addr, addr + len) lies inside ram, and inside the 32-bit address space
// even where ram as named runs past its end.
bool rtt_in_range(uint32_t addr, uint64_t len, rtt_range ram);

// Bytes from the block's start that cover the ID, the counts and every
// descriptor of a block with these counts (counts already checked).
uint32_t rtt_block_size(int32_t up_count, int32_t down_count);

// The first RTT_HEADER_SIZE bytes of a block: 0 with the counts when the ID
// is exact and the counts are within 0..RTT_MAX_CHANNELS and not both 0;
// -1 otherwise, with the reason in why (a short phrase for the status line).
int rtt_header_check(const uint8_t *bytes, size_t len, int32_t *up_count, int32_t *down_count, char *why,
                     size_t why_size);

// A whole block read at address (len >= rtt_block_size of its counts): 0 and
// out filled when the header passes, the block is 4-byte aligned and lies in
// ram, and every descriptor's buffer lies in ram with SizeOfBuffer >= 2 and
// both offsets below it; -1 and the reason otherwise. Names are checked apart
// (rtt_name_check), as they may lie outside ram.
int rtt_block_check(const uint8_t *bytes, size_t len, uint32_t address, rtt_range ram, rtt_block *out, char *why,
                    size_t why_size);

// A channel's name as read from its address: 0 when a NUL ends it within
// len bytes (len <= RTT_NAME_LIMIT), -1 otherwise.
int rtt_name_check(const uint8_t *bytes, size_t len);

// A fresh read of a block already attached, against what was validated: 0
// with `now` filled when it is still the same block (same ID, counts, buffer
// addresses and sizes, offsets below their sizes); -1 and the reason when
// anything changed, which detaches it.
int rtt_block_recheck(const uint8_t *bytes, size_t len, const rtt_block &was, rtt_block *now, char *why,
                      size_t why_size);

// The offsets in bytes[0..len) (RAM read from base) where an exact ID starts
// on a 4-byte boundary: their addresses go into found (at most max_found);
// returns how many there are in all.
size_t rtt_scan(const uint8_t *bytes, size_t len, uint32_t base, uint32_t *found, size_t max_found);

// The bytes an up channel holds from rd_off to wr_off, and the free space
// of a down channel, by the one-byte-free rule.
uint32_t rtt_up_pending(const rtt_channel &c);
uint32_t rtt_down_space(const rtt_channel &c);
