// The probe protocol driver: the per-probe handle, the 16-byte command blocks
// with their data phase, the probe status bytes, and the probe operations.
// Every operation returns one of the result codes below unless it says
// otherwise; operations that act for a client take the key that goes to the
// probe in bytes 12..15 of the command block last.
#pragma once

#include <cstddef>
#include <cstdint>

#include "libusb1_common.h"
#include "result_codes.h"

struct tarvex_usb;

// ---- Wire constants --------------------------------------------------------

constexpr int TARVEX_CMD_SIZE = 16; // bytes of a command block on the wire
constexpr int TARVEX_SG_SIZE = 31;  // command block buffer; bytes 16..30 are never sent
constexpr int TARVEX_DATA_SIZE = 4096;
constexpr int TARVEX_CMD_TIMEOUT_MS = 2000;
constexpr int TARVEX_KEY_OFFSET = 12; // key, little-endian, in bytes 12..15

constexpr unsigned TARVEX_MAX_WAIT_RETRIES = 16;

// Command bytes (byte 0 of a block).
constexpr uint8_t TARVEX_GET_VERSION = 0xF1;
constexpr uint8_t TARVEX_DEBUG_COMMAND = 0xF2;
constexpr uint8_t TARVEX_DFU_COMMAND = 0xF3;
constexpr uint8_t TARVEX_VEMO_COMMAND = 0xF4;
constexpr uint8_t TARVEX_GET_CURRENT_MODE = 0xF5;
constexpr uint8_t TARVEX_GET_TARGET_VOLTAGE = 0xF7;
constexpr uint8_t TARVEX_GET_VERSION_V3 = 0xFB;

// Sub-commands (byte 1) of the debug, DFU and single-wire families.
constexpr uint8_t TARVEX_DEBUG_EXIT = 0x21;
constexpr uint8_t TARVEX_DEBUG_BLINK_LED = 0x49;
constexpr uint8_t TARVEX_DFU_EXIT = 0x07;
constexpr uint8_t TARVEX_VEMO_EXIT = 0x01;
constexpr uint8_t TARVEX_DEBUG_ENTER = 0x30;
constexpr uint8_t TARVEX_DEBUG_ENTER_JTAG = 0xA4;
constexpr uint8_t TARVEX_DEBUG_ENTER_SWD = 0xA3;
constexpr uint8_t TARVEX_DEBUG_ASSERT_SRST = 0x3C;
constexpr uint8_t TARVEX_DEBUG_RESET_TAP = 0x32;
constexpr uint8_t TARVEX_DEBUG_IDCODE = 0x22;
constexpr uint8_t TARVEX_DEBUG_READ_DEBUG_REG = 0x36;
constexpr uint8_t TARVEX_DEBUG_WRITE_DEBUG_REG = 0x35;
constexpr uint8_t TARVEX_DEBUG_READ_REG = 0x33;
constexpr uint8_t TARVEX_DEBUG_WRITE_REG = 0x34;
constexpr uint8_t TARVEX_DEBUG_READ_REGS = 0x3A;
constexpr uint8_t TARVEX_DEBUG_READ_MEM8 = 0x0C;
constexpr uint8_t TARVEX_DEBUG_WRITE_MEM8 = 0x0D;
constexpr uint8_t TARVEX_DEBUG_READ_MEM32 = 0x07;
constexpr uint8_t TARVEX_DEBUG_WRITE_MEM32 = 0x08;
constexpr uint8_t TARVEX_DEBUG_GET_RW_STATUS = 0x3B;
constexpr uint8_t TARVEX_DEBUG_GET_RW_STATUS_V3 = 0x3E;
constexpr uint8_t TARVEX_DEBUG_INIT_ACCESS_POINT = 0x4B;
constexpr uint8_t TARVEX_DEBUG_CLOSE_ACCESS_POINT = 0x4C;
constexpr uint8_t TARVEX_DEBUG_SET_SWDCLK = 0x43;
constexpr uint8_t TARVEX_DEBUG_SET_JTAGCLK = 0x44;
constexpr uint8_t TARVEX_DEBUG_GET_COM_FREQ = 0x62;
constexpr uint8_t TARVEX_DEBUG_SET_COM_FREQ = 0x61;
constexpr uint8_t TARVEX_DEBUG_TRACE_ENABLE = 0x40;
constexpr uint8_t TARVEX_DEBUG_TRACE_DISABLE = 0x41;
constexpr uint8_t TARVEX_DEBUG_TRACE_COUNT = 0x42;

// Probe status bytes (byte 0 of a checked reply) that code refers to by name.
constexpr uint8_t TARVEX_STATUS_OK = 0x80;
constexpr uint8_t TARVEX_STATUS_SWD_FAULT = 0x81;
constexpr uint8_t TARVEX_JTAG_CMD_WAIT = 0x07;
constexpr uint8_t TARVEX_SWD_AP_WAIT = 0x10;
constexpr uint8_t TARVEX_SWD_DP_WAIT = 0x14;

// Mode byte reported by the current-mode query.
constexpr uint8_t TARVEX_PROBE_MODE_DFU = 0x00;
constexpr uint8_t TARVEX_PROBE_MODE_MASS = 0x01;
constexpr uint8_t TARVEX_PROBE_MODE_DEBUG = 0x02;
constexpr uint8_t TARVEX_PROBE_MODE_VEMO = 0x03;

// ---- Records ---------------------------------------------------------------

enum hl_transports {
    HL_TRANSPORT_UNKNOWN = 0,
    HL_TRANSPORT_SWD = 1,
    HL_TRANSPORT_JTAG = 2,
    HL_TRANSPORT_VEMO = 3,
};

enum tarvex_jtag_api_version {
    TARVEX_JTAG_API_V1 = 1,
    TARVEX_JTAG_API_V2 = 2,
    TARVEX_JTAG_API_V3 = 3,
};

enum tarvex_mode {
    TARVEX_MODE_UNKNOWN = 0,
    TARVEX_MODE_DFU = 1,
    TARVEX_MODE_MASS = 2,
    TARVEX_MODE_DEBUG_JTAG = 3,
    TARVEX_MODE_DEBUG_SWD = 4,
    TARVEX_MODE_DEBUG_VEMO = 5,
};

// Firmware version as the version query reports it. The record shares its
// name with the query function, so code names it `struct tarvex_usb_version`.
struct tarvex_usb_version {
    int32_t tarvex; // hardware generation
    int32_t jtag;   // debug firmware version; gates optional commands
    int32_t vemo;
    tarvex_jtag_api_version jtag_api_max;
    char name[8]; // "2", "2.1" or "3" by product ID
    uint16_t vid;
    uint16_t pid;
};

// Open parameters of a probe, made with its registry entry.
struct hl_interface_param_s {
    const char *device_desc;
    const char *serial; // the entry's own serial text, not a copy
    uint16_t vid;
    uint16_t pid;
    uint32_t api;
    hl_transports transport;
    bool connect_under_reset;
    int32_t initial_interface_speed;
};

struct tarvex_trace_state {
    bool enabled;
    uint32_t source_hz;
};

// What a probe's transfers did, counted by its worker as they happen. The
// loop never reads these: each job carries what changed while it ran back
// through the hand-off (probe_request.h).
struct tarvex_usb_counters {
    uint64_t transfer_failures; // short or failed bulk transfers, time-outs included
    uint64_t timeouts;          // transfers libusb ended for their time-out
    uint64_t wait_retries;      // commands asked again after a wait status
    uint64_t bytes_read;        // bulk IN, replies and trace
    uint64_t bytes_written;     // bulk OUT, command blocks and data
    uint64_t state_reads;       // run-state queries (tarvex_usb_get_status)
    uint8_t last_state;         // the last one's answer (target_state)
};

// One per registered probe, owned by its registry entry.
struct tarvex_usb_handle_s {
    libusb_device *dev;
    libusb_device_handle *fd;    // null while the probe is not open
    libusb_context *own_context; // owned; the context fd is opened in, made by the first open
    libusb_transfer *trans;
    uint32_t rx_ep; // bulk IN, command replies
    uint32_t tx_ep; // bulk OUT, command blocks and written data
    uint8_t trace_ep;
    uint8_t cmdbuf[TARVEX_SG_SIZE];
    uint8_t cmdidx;
    uint8_t direction; // endpoint of the data phase; neither rx_ep nor tx_ep: none
    uint8_t databuf[TARVEX_DATA_SIZE];
    uint32_t max_mem_packet;
    hl_transports transport;
    struct tarvex_usb_version version;
    uint16_t vid;
    uint16_t pid;
    bool access_point_initialized[4];
    tarvex_jtag_api_version jtag_api;
    tarvex_trace_state trace;
    bool reconnect_pending;
    bool device_gone; // a transfer found the device unplugged; cleared when it is opened again
    tarvex_usb_counters counters;
};

// ---- Command blocks and transfers --------------------------------------------

// Starts a command: sets the data-phase endpoint and clears both buffers.
void tarvex_usb_init_buffer(tarvex_usb_handle_s *h, uint8_t direction, uint32_t size);
// Sends `cmdsize` bytes of cmdbuf, then moves `size` bytes of `buf` in the
// direction of h->direction. Any short transfer is ERROR_FAIL.
int tarvex_usb_xfer_rw(tarvex_usb_handle_s *h, int cmdsize, uint8_t *buf, uint32_t size);
// tarvex_usb_xfer_rw with a 16-byte command block.
int tarvex_usb_xfer(tarvex_usb_handle_s *h, uint8_t *buf, uint32_t size);
// Reads exactly `size` bytes from the trace endpoint, no command block.
int tarvex_usb_read(tarvex_usb_handle_s *h, uint8_t *buf, uint32_t size);
// Reads exactly `size` bytes of trace data. REQUIRES: version.tarvex >= 2,
// otherwise ERROR_FAIL without a transfer.
int tarvex_usb_read_trace(tarvex_usb_handle_s *h, uint8_t *buf, uint32_t size);

// ---- Status bytes and wait retry ---------------------------------------------

// Maps the status byte databuf[0] to a result code.
int tarvex_usb_error_check(tarvex_usb_handle_s *h);
// Microseconds to sleep after the wait status of send number retries + 1,
// or 0 when the retries are used up (one command is sent at most 17 times).
constexpr uint32_t tarvex_wait_delay_us(unsigned retries)
{
    return retries < TARVEX_MAX_WAIT_RETRIES ? 1000u << retries : 0;
}
// tarvex_usb_xfer, then the status check; wait statuses are resent with a
// doubling back-off. Returns ERROR_WAIT when the probe keeps waiting.
int tarvex_cmd_allow_retry(tarvex_usb_handle_s *h, uint8_t *buf, uint32_t size);

// ---- Open, version, voltage, LED -------------------------------------------

// REQUIRES: usb->dev->fd is an open device handle. Claims the interface,
// chooses the endpoints and reads the version. On failure the handle is
// closed and ERROR_FAIL returned.
int tarvex_usb_open(tarvex_usb *usb);
// Releases interface 0 and closes the device handle; harmless when closed.
// Returns ERROR_OK.
int tarvex_usb_close(tarvex_usb_handle_s *h);
// Queries the firmware version by the handle's product ID; fills `v` and the
// handle's vid, pid, jtag_api and version name.
int tarvex_usb_version(tarvex_usb_handle_s *h, uint32_t key, struct tarvex_usb_version *v);
// Stores the target voltage in volts.
int tarvex_usb_check_voltage(tarvex_usb_handle_s *h, float *target_voltage, uint32_t key);
// Returns the command's result, or TARVEX_BLINK_TOO_OLD, without traffic, when
// the debug firmware is below 28. That value is no result code: clients see
// it as it is ("1 6").
constexpr int TARVEX_BLINK_TOO_OLD = 6;
int tarvex_usb_blink_led(tarvex_usb_handle_s *h);

// ---- Modes -------------------------------------------------------------------

// Stores the probe's mode byte (TARVEX_PROBE_MODE_*).
int tarvex_usb_current_mode(tarvex_usb_handle_s *h, uint8_t *mode, uint32_t key);
// Leaves DFU, debug (JTAG or SWD) or single-wire mode; other types are
// ERROR_FAIL without traffic.
int tarvex_usb_mode_leave(tarvex_usb_handle_s *h, tarvex_mode type, uint32_t key);
// Leaves whatever mode the probe reports (nothing for mass storage).
int tarvex_exit_mode(tarvex_usb_handle_s *h, uint32_t key);
// Enters the debug mode of type (TARVEX_MODE_DEBUG_JTAG or _SWD); other
// types are ERROR_FAIL without traffic.
int tarvex_usb_mode_enter(tarvex_usb_handle_s *h, tarvex_mode type, uint32_t key);
// Drives the target reset line; srst 0 holds the target in reset.
int tarvex_usb_assert_srst(tarvex_usb_handle_s *h, uint8_t srst, uint32_t key);
// The debug mode of a transport; no probe traffic.
tarvex_mode tarvex_get_mode(hl_transports transport);
// Leaves the probe's current mode and enters the debug mode of transport,
// holding the target in reset meanwhile when connect_under_reset is set.
int tarvex_usb_init_mode(tarvex_usb_handle_s *h, bool connect_under_reset, hl_transports transport, uint32_t key);
// The reset command; a running trace capture is restarted after it.
int tarvex_usb_reset_tap(tarvex_usb_handle_s *h, uint32_t key);
int tarvex_usb_idcode(tarvex_usb_handle_s *h, uint32_t *idcode, uint32_t key);

enum target_state {
    TARGET_UNKNOWN = 0,
    TARGET_RUNNING = 1,
    TARGET_HALTED = 2,
    TARGET_RESET = 3,
    TARGET_DEBUG_RUNNING = 4,
};

// Run state from DHCSR; every failure is TARGET_UNKNOWN.
target_state tarvex_usb_get_status(tarvex_usb_handle_s *h, uint32_t key);
// As tarvex_usb_get_status, re-entering debug mode first after a failed query.
target_state tarvex_usb_state(tarvex_usb_handle_s *h, uint32_t key);

// ---- Registers ---------------------------------------------------------------
// coreid is the access point (0..3); larger values are ERROR_FAIL without traffic.

int tarvex_usb_read_debug_reg(tarvex_usb_handle_s *h, uint32_t addr, uint32_t *val, uint32_t coreid, uint32_t key);
int tarvex_usb_write_debug_reg(tarvex_usb_handle_s *h, uint32_t addr, uint32_t val, uint32_t coreid, uint32_t key);
int tarvex_usb_read_reg(tarvex_usb_handle_s *h, unsigned num, uint32_t *val, uint32_t coreid, uint32_t key);
int tarvex_usb_write_reg(tarvex_usb_handle_s *h, unsigned num, uint32_t val, uint32_t coreid, uint32_t key);
// The 84 reply bytes stay in h->databuf; the status byte is not examined.
constexpr uint32_t TARVEX_REGFILE_REPLY_SIZE = 84;
int tarvex_usb_read_regs(tarvex_usb_handle_s *h, uint32_t coreid, uint32_t key);

// ---- Memory and access points --------------------------------------------------

constexpr uint32_t TARVEX_MEM8_MAX = 64;
// Outcome of the last memory transfer, by the status table.
int tarvex_usb_get_rw_status(tarvex_usb_handle_s *h, uint32_t key);
// Primitives: 8-bit transfers of at most 64 bytes, 32-bit transfers of aligned
// words (ERROR_ALIGNMENT otherwise) of at most the 4096-byte data buffer.
int tarvex_usb_read_mem8(tarvex_usb_handle_s *h, uint32_t addr, uint16_t len, uint8_t *buffer, uint32_t coreid,
                         uint32_t key);
int tarvex_usb_write_mem8(tarvex_usb_handle_s *h, uint32_t addr, uint16_t len, const uint8_t *buffer, uint32_t coreid,
                          uint32_t key);
int tarvex_usb_read_mem32(tarvex_usb_handle_s *h, uint32_t addr, uint16_t len, uint8_t *buffer, uint32_t coreid,
                          uint32_t key);
int tarvex_usb_write_mem32(tarvex_usb_handle_s *h, uint32_t addr, uint16_t len, const uint8_t *buffer, uint32_t coreid,
                           uint32_t key);
// Moves count items of size bytes (size 4: 32-bit access, else bytes), split
// into chunks the probe accepts. size * count above 32 bits is ERROR_FAIL.
int tarvex_usb_read_mem(tarvex_usb_handle_s *h, uint32_t addr, uint16_t size, uint32_t count, uint8_t *buffer,
                        uint32_t core_id, uint32_t key);
int tarvex_usb_write_mem(tarvex_usb_handle_s *h, uint32_t addr, uint16_t size, uint32_t count, const uint8_t *buffer,
                         uint32_t core_id, uint32_t key);
int tarvex_usb_init_access_point(tarvex_usb_handle_s *h, uint8_t access_point_id, uint32_t key);
int tarvex_usb_close_access_point(tarvex_usb_handle_s *h, uint8_t access_point_id, uint32_t key);

// Bytes from address to the end of its auto-increment block (4 when that is 0).
constexpr uint32_t tarvex_max_block_size(uint32_t tar_autoincr_block, uint32_t address)
{
    uint32_t n = tar_autoincr_block - (address & (tar_autoincr_block - 1));
    return n != 0 ? n : 4;
}

// The next piece of a chunked transfer at addr with `remaining` bytes left:
// `head` bytes by the 8-bit primitive to reach alignment, then `body` bytes,
// by the 32-bit primitive when body_words, else as a nested byte transfer.
// For byte transfers (size != 4) only body is set, at most 64.
struct tarvex_mem_chunk {
    uint32_t head;
    uint32_t body;
    bool body_words;
};
tarvex_mem_chunk tarvex_next_mem_chunk(uint32_t addr, uint32_t remaining, uint16_t size, uint32_t block);

// ---- Interface clock -----------------------------------------------------------

struct speed_map {
    int32_t speed;         // kHz
    int32_t speed_divisor; // the value the probe expects
};

inline constexpr speed_map tarvex_khz_to_speed_map[] = {
    {4000, 0}, {1800, 1}, {1200, 2}, {950, 3},  {480, 7},  {240, 15},
    {125, 31}, {100, 40}, {50, 79},  {25, 158}, {15, 265}, {5, 798},
};
inline constexpr speed_map jtag_tarvex_khz_to_speed_map[] = {
    {9000, 4}, {4500, 8}, {2250, 16}, {1125, 32}, {562, 64}, {281, 128}, {140, 256},
};
constexpr int TARVEX_COM_FREQ_SLOTS = 10;

// Index of the row of `speeds` (n rows, fastest first) for a request of khz:
// an exact match, else the nearest speed not above khz, else the last row.
// *exact tells which.
int tarvex_select_speed(const int32_t *speeds, int n, int32_t khz, bool *exact);

int tarvex_usb_set_swdclk(tarvex_usb_handle_s *h, uint16_t clk_divisor, uint32_t key);
// The speed in kHz in force (or that would be, for a query): a value >= 0. A
// clock command that fails or that the probe rejects gives a negative result
// code instead. A probe whose firmware has no clock command answers khz as
// asked.
int tarvex_speed_v2(tarvex_usb_handle_s *h, int khz, bool query, uint32_t key);
// Reads up to 10 frequencies (kHz) of the probe's list; unused slots are 0.
int tarvex_get_com_freq(tarvex_usb_handle_s *h, uint8_t swd_or_jtag, uint32_t *table_freq);
// Sets the frequency in kHz; the probe's status byte is checked.
int tarvex_set_com_freq(tarvex_usb_handle_s *h, uint8_t swd_or_jtag, uint32_t frequency);
// As tarvex_speed_v2, choosing among the 10 entries of freq.
int tarvex_speed_v3(tarvex_usb_handle_s *h, const uint32_t *freq, int khz, bool query, uint32_t key);

// ---- Trace capture -------------------------------------------------------------

enum tpio_pin_protocol {
    TPIU_PIN_PROTOCOL_SYNC = 0,
    TPIU_PIN_PROTOCOL_ASYNC_MANCHESTER = 1,
    TPIU_PIN_PROTOCOL_ASYNC_UART = 2,
};
constexpr uint32_t TARVEX_TRACE_MAX_HZ = 2000000;
constexpr int TARVEX_TRACE_MIN_JTAG = 13;

// trace_freq is in/out: 0 becomes 2000000. port_size is not used.
int tarvex_config_trace(tarvex_usb_handle_s *h, bool enabled, tpio_pin_protocol pin_protocol, uint32_t port_size,
                        uint32_t *trace_freq, uint32_t key);
int tarvex_usb_trace_enable(tarvex_usb_handle_s *h, uint32_t key);
int tarvex_usb_trace_disable(tarvex_usb_handle_s *h, uint32_t key);
// size is in/out: the capacity of buf, then the bytes stored (at most
// capacity - 1). A probe whose firmware has no trace is ERROR_FAIL.
int tarvex_usb_trace_read(tarvex_usb_handle_s *h, uint8_t *buf, uint32_t *size, uint32_t key);
