// The RTT test firmware's configuration record, rtt_test_config (see
// rtt_test.c), as the firmware reads it and as the host-side tests and
// benchmarks write it into the target's RAM. Offsets are the record's.
#ifndef RTT_TEST_CONFIG_H
#define RTT_TEST_CONFIG_H

#include <stdint.h>

// The first word of a record written by a debugger: the firmware takes it.
#define RTT_TEST_ARMED 0x52545443u
#define RTT_TEST_UP_CHANNELS 4

struct rtt_test_config {
    uint32_t armed;                       // 0: RTT_TEST_ARMED
    uint32_t modes[RTT_TEST_UP_CHANNELS]; // 4: up channels 0-3 (RTT_MODE_*)
    uint32_t records_per_loop;            // 20: records each loop (0: echo only)
    uint32_t busy_wait;                   // 24: empty iterations after each loop
    uint32_t record_size;                 // 28: bytes a record is padded to (max 128)
    uint32_t record_limit;                // 32: records in all, then echo only (0: no end)
    uint32_t tick_every;                  // 36: (0: no ticks)
    uint32_t echo;                        // 40: nonzero: echo down 0 to up 0
    uint32_t stale_block;                 // 44: nonzero: set up rtt_test_stale
    uint32_t stage1_lines;                // 48: two-stage image only
    uint32_t stage1_wait;                 // 52: two-stage image only
    uint32_t retire_stage1;               // 56: two-stage image only
};

#ifdef __cplusplus
static_assert(sizeof(rtt_test_config) == 60, "the record's layout is the firmware's");
#else
_Static_assert(sizeof(struct rtt_test_config) == 60, "the record's layout is the firmware's");
#endif

#endif
