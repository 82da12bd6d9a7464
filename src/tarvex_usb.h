// The probe protocol driver: the per-probe handle, the 16-byte command blocks
// with their data phase, the probe status bytes, and the probe operations.
// Every operation returns one of the result codes below unless it says
// otherwise; operations that act for a client take the key that goes to the
// probe in bytes 12..15 of the command block last.
#pragma once

#include <cstddef>
#include <cstdint>

#include "libusb1_common.h"

struct tarvex_usb;

// ---- Result codes ----------------------------------------------------------

constexpr int ERROR_OK = 0;
constexpr int ERROR_ALIGNMENT = -2; // 32-bit access with unaligned address or length
constexpr int ERROR_FAIL = -4;      // transfer failure, probe error status, unsupported request
constexpr int ERROR_WAIT = -5;      // the probe answered a wait status; the operation may be repeated

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

// One per registered probe, owned by its registry entry.
struct tarvex_usb_handle_s {
    libusb_device *dev;
    libusb_device_handle *fd; // null while the probe is not open
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
// Returns the command's result, or 6 when the debug firmware is below 28.
int tarvex_usb_blink_led(tarvex_usb_handle_s *h);

// ---- Modes -------------------------------------------------------------------

// Stores the probe's mode byte (TARVEX_PROBE_MODE_*).
int tarvex_usb_current_mode(tarvex_usb_handle_s *h, uint8_t *mode, uint32_t key);
// Leaves DFU, debug (JTAG or SWD) or single-wire mode; other types are
// ERROR_FAIL without traffic.
int tarvex_usb_mode_leave(tarvex_usb_handle_s *h, tarvex_mode type, uint32_t key);
// Leaves whatever mode the probe reports (nothing for mass storage).
int tarvex_exit_mode(tarvex_usb_handle_s *h, uint32_t key);
