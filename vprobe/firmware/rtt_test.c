// RTT test firmware for the virtual target: known traffic on four up
// channels and an echo on down channel 0, for tests of RTT capture.
//
// Channels of _SEGGER_RTT (4 up of 1024 bytes, 1 down of 32):
//   up 0 "Terminal": "rtt test ready\n" once, then every echoed byte, and
//        "tick N\n" before record N when tick_every divides N (N > 0).
//   up 1 "Counted", up 2 "Skip", up 3 "Trim": the same records, in turn on
//        each: record N (from 0) is the text "seq N" (N in decimal), padded
//        with '.' to record_size - 1 bytes when record_size asks for more,
//        then '\n'. Each record is one rtt_write, so on a skipping channel a
//        record arrives whole or not at all, on a trimming one it may be
//        cut short (and the next ones then usually missing).
//   down 0 "Terminal": echo on: every byte arriving is written back to up
//        0 unchanged, no prefix.
// Default modes: up 0 skip, up 1 block, up 2 skip, up 3 trim. A blocking
// channel that nobody reads stops the firmware there.
//
// Behaviour comes from rtt_test_config, in .noinit: the start-up neither
// copies nor clears it, so a debugger writes it while the core is held at
// reset. The firmware uses it when its first word is RTT_TEST_ARMED, and
// otherwise copies rtt_test_defaults (flash) into it; either way the record
// then shows the settings in effect. It stays armed across resets until
// something overwrites it (the flash loader uses the low 32 KiB of RAM).
// Write the whole record: start from rtt_test_defaults' bytes in the ELF.
//
// Counters in RAM, for tests to compare with what they read:
//   rtt_test_sequence  records produced so far (the next N)
//   rtt_test_dropped   records up 2 did not take (its write returned 0)
//   rtt_test_trimmed   records up 3 did not take whole
//   rtt_test_echoed    bytes written back to up 0
//   rtt_test_phase     1 in the first stage (below), 2 once streaming
//
// Variants (-D): RTT_TEST_MOVED=N puts N bytes of padding before
// _SEGGER_RTT (tarvex-rtt-test-moved); RTT_TEST_STAGES makes a two-stage
// image (tarvex-rtt-stages): the first stage sets up rtt_stage1_block (up
// 0 and down 0 "Terminal", 1024 and 32 bytes), writes stage1_lines lines
// "stage 1 line K\n" (K from 0) and, when stage1_wait is set, waits until
// the host has read them all; then it clears that block's ID when
// retire_stage1 is set (else leaves it, stale), and jumps through a
// function pointer to the second stage, which streams as above.
//
// With stale_block set, rtt_test_stale is a complete block holding
// "stale\n" unread on its up 0 (RdOff 0, WrOff 6), set up before
// _SEGGER_RTT and never touched again. It and rtt_stage1_block lie below
// _SEGGER_RTT in RAM.
//
// RTT_TEST_NO_STALE leaves rtt_test_stale and its storage out, and
// stale_block is then ignored: the benchmarks' image (tarvex-rtt-bench) has
// 16 KiB up channels, and two blocks' storage of that shape would not fit
// in RAM.
#include <stdint.h>

#include "rtt.h"
#include "rtt_test_config.h"
#include "text.h"

#if RTT_UP_CHANNELS != 4 || RTT_DOWN_CHANNELS != 1
#error "the test firmware's channels: build with RTT_UP_CHANNELS=4 RTT_DOWN_CHANNELS=1"
#endif

#define UP_TERMINAL 0u
#define UP_COUNTED 1u
#define UP_SKIP 2u
#define UP_TRIM 3u
#define RECORD_MAX 128u

const struct rtt_test_config rtt_test_defaults = {
    .armed = 0,
    .modes = {RTT_MODE_SKIP, RTT_MODE_BLOCK, RTT_MODE_SKIP, RTT_MODE_TRIM},
    .records_per_loop = 4,
    .busy_wait = 200,
    .record_size = 0,
    .record_limit = 0,
    .tick_every = 0,
    .echo = 1,
    .stale_block = 0,
    .stage1_lines = 1,
    .stage1_wait = 1,
    .retire_stage1 = 1,
};

__attribute__((section(".noinit"))) struct rtt_test_config rtt_test_config;

volatile uint32_t rtt_test_sequence;
volatile uint32_t rtt_test_dropped;
volatile uint32_t rtt_test_trimmed;
volatile uint32_t rtt_test_echoed;
volatile uint32_t rtt_test_phase;

#ifdef RTT_TEST_MOVED
// Here, before rtt.c's objects in the link, it moves _SEGGER_RTT up.
__attribute__((used)) uint8_t rtt_test_padding[RTT_TEST_MOVED];
#endif

// Up 0 and down 0 named, the other up channels unnamed: rtt_setup reads a
// table of each direction's channel count.
static const char *const terminal_names[RTT_UP_CHANNELS] = {"Terminal"};
static const char *const up_names[RTT_UP_CHANNELS] = {"Terminal", "Counted", "Skip", "Trim"};

#ifndef RTT_TEST_NO_STALE
struct rtt_control rtt_test_stale;
static struct rtt_storage stale_storage;
#endif

#ifdef RTT_TEST_STAGES
struct rtt_control rtt_stage1_block;
static struct rtt_storage stage1_storage;
#endif

static void load_config(void)
{
    if (rtt_test_config.armed != RTT_TEST_ARMED)
        rtt_test_config = rtt_test_defaults;
    if (rtt_test_config.record_size > RECORD_MAX)
        rtt_test_config.record_size = RECORD_MAX;
}

static void busy_wait(uint32_t n)
{
    for (volatile uint32_t i = 0; i < n; i++) {
    }
}

static uint32_t format_record(char *rec, uint32_t seq)
{
    uint32_t len = put_text(rec, "seq ");
    len += put_decimal(rec + len, seq);
    while (len + 1 < rtt_test_config.record_size)
        rec[len++] = '.';
    rec[len++] = '\n';
    return len;
}

static void emit_record(uint32_t seq)
{
    char line[RECORD_MAX];
    uint32_t tick = rtt_test_config.tick_every;
    if (tick && seq && seq % tick == 0)
        rtt_write(UP_TERMINAL, line, numbered_line(line, "tick ", seq));
    uint32_t len = format_record(line, seq);
    rtt_write(UP_COUNTED, line, len);
    if (rtt_write(UP_SKIP, line, len) == 0)
        rtt_test_dropped++;
    if (rtt_write(UP_TRIM, line, len) < len)
        rtt_test_trimmed++;
    rtt_test_sequence = seq + 1;
}

static void echo(void)
{
    uint8_t buf[RTT_DOWN_SIZE];
    uint32_t n = rtt_read(0, buf, sizeof buf);
    if (n > 0)
        rtt_test_echoed += rtt_write(UP_TERMINAL, buf, n);
}

static void set_up_stale_block(void)
{
#ifndef RTT_TEST_NO_STALE
    rtt_setup(&rtt_test_stale, &stale_storage, terminal_names, terminal_names);
    rtt_write(UP_TERMINAL, "stale\n", 6);
    rtt_publish();
#endif
}

static void stream(void)
{
    if (rtt_test_config.stale_block)
        set_up_stale_block();
    rtt_setup(&_SEGGER_RTT, 0, up_names, terminal_names);
    for (unsigned i = 0; i < RTT_UP_CHANNELS; i++)
        rtt_set_mode(i, rtt_test_config.modes[i]);
    rtt_publish();
    rtt_test_phase = 2;
    rtt_write(UP_TERMINAL, "rtt test ready\n", 15);
    uint32_t seq = 0;
    for (;;) {
        if (rtt_test_config.echo)
            echo();
        uint32_t limit = rtt_test_config.record_limit;
        for (uint32_t i = 0; i < rtt_test_config.records_per_loop && (limit == 0 || seq < limit); i++)
            emit_record(seq++);
        busy_wait(rtt_test_config.busy_wait);
    }
}

#ifdef RTT_TEST_STAGES
// Where a bootloader would take the application's entry from its vector
// table; volatile, so the hand-over stays an indirect call.
static void (*volatile next_stage)(void);

static void first_stage(void)
{
    rtt_test_phase = 1;
    rtt_setup(&rtt_stage1_block, &stage1_storage, terminal_names, terminal_names);
    rtt_set_mode(UP_TERMINAL, RTT_MODE_BLOCK);
    rtt_publish();
    for (uint32_t k = 0; k < rtt_test_config.stage1_lines; k++) {
        char line[32];
        rtt_write(UP_TERMINAL, line, numbered_line(line, "stage 1 line ", k));
    }
    struct rtt_buffer *up = &rtt_stage1_block.up[UP_TERMINAL];
    while (rtt_test_config.stage1_wait && up->rd_off != up->wr_off) {
    }
    if (rtt_test_config.retire_stage1)
        rtt_retire(&rtt_stage1_block);
    next_stage = stream;
    next_stage();
}
#endif

int main(void)
{
    load_config();
#ifdef RTT_TEST_STAGES
    first_stage();
#else
    stream();
#endif
    return 0;
}
