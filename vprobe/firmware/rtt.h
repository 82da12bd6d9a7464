// RTT for the virtual target's firmware: a control block in RAM that a
// debugger finds by its ID (or by the symbol _SEGGER_RTT, the name tools
// look up) and reads over the debug link while the core runs. Up channels
// carry bytes to the host, down channels from it; each is a ring in which
// one byte always stays free, so equal offsets mean empty.
//
// Channel counts and buffer sizes are fixed when the image is built
// (-DRTT_UP_CHANNELS=N and so on); every block of one image has the same
// shape. Usage: rtt_setup on a block and its storage (the block becomes
// the one rtt_write and rtt_read use), rtt_set_mode where a channel does
// not skip, then rtt_publish, which writes the ID last. rtt_init does all
// of it for _SEGGER_RTT with storage of its own.
#pragma once

#include <stdint.h>

#ifndef RTT_UP_CHANNELS
#define RTT_UP_CHANNELS 1
#endif
#ifndef RTT_DOWN_CHANNELS
#define RTT_DOWN_CHANNELS 1
#endif
#ifndef RTT_UP_SIZE
#define RTT_UP_SIZE 1024
#endif
#ifndef RTT_DOWN_SIZE
#define RTT_DOWN_SIZE 16
#endif

// What a write to a full up channel does (the low two bits of Flags).
#define RTT_MODE_SKIP 0u  // drops the whole write when it does not fit
#define RTT_MODE_TRIM 1u  // writes what fits
#define RTT_MODE_BLOCK 2u // waits until the host frees space
#define RTT_MODE_MASK 3u

// Offsets are shared with the host, which reads and writes them as 32-bit
// words while the core runs.
struct rtt_buffer {
    const char *name;
    uint8_t *buffer;
    uint32_t size;
    volatile uint32_t wr_off;
    volatile uint32_t rd_off;
    uint32_t flags;
};

struct rtt_control {
    volatile uint32_t id[4]; // "SEGGER RTT", NUL-padded
    int32_t max_up;
    int32_t max_down;
    struct rtt_buffer up[RTT_UP_CHANNELS];
    struct rtt_buffer down[RTT_DOWN_CHANNELS];
};

_Static_assert(sizeof(struct rtt_buffer) == 24, "descriptor layout the host reads");
_Static_assert(sizeof(struct rtt_control) == 24 + 24 * (RTT_UP_CHANNELS + RTT_DOWN_CHANNELS), "block layout");

struct rtt_storage {
    uint8_t up[RTT_UP_CHANNELS][RTT_UP_SIZE];
    uint8_t down[RTT_DOWN_CHANNELS][RTT_DOWN_SIZE];
};

extern struct rtt_control _SEGGER_RTT;

// Withdraws cb's ID first (a host stops trusting it), then lays out every
// channel on its part of storage (null: rtt.c's own) with the names given (tables of
// RTT_UP_CHANNELS and RTT_DOWN_CHANNELS entries; either may be
// null, a null entry leaves a channel unnamed), all in skip mode, and makes
// cb the block the calls below use. The host cannot find it yet.
void rtt_setup(struct rtt_control *cb, struct rtt_storage *storage, const char *const *up_names,
               const char *const *down_names);

// Writes the current block's ID, after everything else and in two steps,
// so that a host never finds a half-written block.
void rtt_publish(void);

// rtt_setup of _SEGGER_RTT on rtt.c's own storage, then rtt_publish.
void rtt_init(const char *const *up_names, const char *const *down_names);

// Clears cb's ID, as a stage that hands over to another does.
void rtt_retire(struct rtt_control *cb);

void rtt_set_mode(unsigned channel, uint32_t mode);

// Bytes of data written to up channel `channel`, as its mode decides: 0 or
// n when it skips, up to n when it trims, n when it blocks (after waiting).
uint32_t rtt_write(unsigned channel, const void *data, uint32_t n);

// Up to n bytes the host wrote to down channel `channel`; 0 when none.
uint32_t rtt_read(unsigned channel, void *buf, uint32_t n);
