// The protocol between tarvex-server and its clients, as values both sides
// compile against: the text keywords, the binary codes and layouts, the
// results and statuses a reply carries, and the limits a request must keep.
// Plain C++17 with nothing of either side in it, so the server and the
// client library can include it alike.
#pragma once

#include <cstddef>
#include <cstdint>

namespace tarvex_wire
{

// ---- transport ------------------------------------------------------------------

// The TCP port of a server started without one, as a number and as the text
// the server's listener setup takes.
inline constexpr uint16_t DEFAULT_PORT = 7184;
inline constexpr char DEFAULT_PORT_TEXT[] = "7184";

// Every request is received into one staging buffer per client, and its
// reply built over it: a request, a memory write's line with its data, or a
// reply held there, never exceeds it.
inline constexpr int STAGING_BUFFER_SIZE = 32768;
// register-client: the name is kept in this many bytes, its zero included.
inline constexpr int CLIENT_NAME_SIZE = 50;

// A text request is split into at most this many tokens (the keyword and
// five arguments) of at most TOKEN_SIZE - 1 characters each.
inline constexpr int TOKEN_SLOTS = 6;
inline constexpr int TOKEN_SIZE = 80;

// tarvex-tcp-read-mem: a read shorter than this is answered from the staging
// buffer, a longer one from a buffer of its own; one above READ_MEM_LIMIT is
// refused.
inline constexpr uint32_t SMALL_READ_LIMIT = 4096;
inline constexpr uint64_t READ_MEM_LIMIT = 8u << 20;
// tarvex-usb-trace-read: the most one read delivers, the probe's capture buffer.
inline constexpr int32_t TRACE_READ_LIMIT = 1024;

// A hold's token: this many hexadecimal digits.
inline constexpr unsigned HOLD_TOKEN_CHARS = 32;

// ---- binary requests ------------------------------------------------------------

// Byte 0 of a binary request; 32-bit fields are little-endian.
enum binary_code : uint8_t {
    CMD_REFRESH = 0x00,
    CMD_GET_NB_DEV = 0x01,
    CMD_GET_DEV_INFO = 0x02,
    CMD_OPEN_DEV = 0x03,
    CMD_CLOSE_DEV = 0x04,
    CMD_SEND_USB_CMD = 0x05,
    CMD_GET_SERVER_API_VERSION = 0x06,
    CMD_GET_NB_OF_DEV_CLIENTS = 0x07,
};
// The version the server answers to CMD_GET_SERVER_API_VERSION.
inline constexpr uint8_t SERVER_API_VERSION = 1;

// Requests of one 32-bit argument: the code, three bytes (the probe index of
// CMD_GET_DEV_INFO in byte 1), then the argument.
inline constexpr size_t ARGUMENT_OFFSET = 4;
inline constexpr size_t ARGUMENT_REQUEST_SIZE = 8;

// The pass-through request (CMD_SEND_USB_CMD): the association at 4, the
// probe's command block at PASSTHROUGH_CMD_OFFSET (the server writes the
// client's key over its bytes 12..15), the direction byte, the transfer's
// size, then a write's data.
inline constexpr size_t PASSTHROUGH_ASSOC_OFFSET = 4;
inline constexpr size_t PASSTHROUGH_CMD_OFFSET = 8;
inline constexpr size_t PASSTHROUGH_KEY_OFFSET = 20;
inline constexpr size_t PASSTHROUGH_DIRECTION_OFFSET = 24;
inline constexpr size_t PASSTHROUGH_SIZE_OFFSET = 28;
inline constexpr size_t PASSTHROUGH_DATA_OFFSET = 32;
inline constexpr size_t CMD_BLOCK_SIZE = 16;

// The 32-bit status word of binary replies.
inline constexpr uint32_t STATUS_OK = 0x1;
inline constexpr uint32_t STATUS_FAIL = 0x4;
inline constexpr uint32_t STATUS_DEVICE_ERROR = 0x1003;
inline constexpr uint32_t STATUS_INFO_SIZE_ERROR = 0x1052;

// ---- text replies ---------------------------------------------------------------

// A text reply's first field: REPLY_DONE when the request was carried out
// ("1 RESULT [VALUE]"), REPLY_NOT_DONE when it names nothing ("0 ...").
inline constexpr char REPLY_DONE[] = "1";
inline constexpr char REPLY_NOT_DONE[] = "0";
// The second field of the reply to a keyword the server does not know.
inline constexpr char REPLY_UNKNOWN_COMMAND[] = "unknown_command";
// tarvex-tcp-who-holds: the holder's field when nobody holds the probe.
inline constexpr char REPLY_NOBODY[] = "-";

// The RESULT of a text reply.
inline constexpr int RESULT_OK = 0;
inline constexpr int RESULT_ALIGNMENT = -2;     // 32-bit access with unaligned address or length
inline constexpr int RESULT_FAIL = -4;          // transfer failure, probe error status, unsupported request
inline constexpr int RESULT_WAIT = -5;          // the probe answered a wait status
inline constexpr int RESULT_PROBE_HELD = -6;    // another client holds the probe
inline constexpr int RESULT_NOT_PERMITTED = -7; // an administrator's request from another client
inline constexpr int RESULT_RTT_STOPPED = -8;   // no client wants RTT capture on the probe
inline constexpr int RESULT_RTT_GONE = -9;      // the probe went away; capture resumes when it comes back
inline constexpr int RESULT_RTT_REFUSED = -10;  // no valid control block where the request said (status says why)
inline constexpr int RESULT_NO_USB = -19;       // libusb could not be set up

// tarvex-usb-current-mode: the mode byte of a probe in a debug mode (SWD or
// JTAG); tarvex-usb-init-mode: the transport number of SWD.
inline constexpr int PROBE_MODE_DEBUG = 2;
inline constexpr int TRANSPORT_SWD = 1;

// tarvex-config-trace: the pin protocol of asynchronous (UART) SWO and the
// port size the probe takes.
inline constexpr int TRACE_PROTOCOL_UART = 2;
inline constexpr int TRACE_PORT_SIZE = 1;

// ---- text keywords --------------------------------------------------------------

// Probes and associations.
inline constexpr char KW_GET_NB_TARVEX[] = "get-nb-tarvex";
inline constexpr char KW_GET_NB_USB_CLIENT[] = "get-nb-usb-client";
inline constexpr char KW_GET_NB_TCP_CLIENT[] = "get-nb-tcp-client";
inline constexpr char KW_GET_DESCRIPTOR[] = "get-tarvex-descriptor";
inline constexpr char KW_GET_BY_INDEX[] = "get-tarvex-by-index";
inline constexpr char KW_OPEN_DEVICE[] = "open-device";
inline constexpr char KW_CLOSE_DEVICE[] = "close-device";
inline constexpr char KW_CHOOSE[] = "choose-tarvex";
inline constexpr char KW_GET_CHOSEN[] = "get-tarvex-chosen";
inline constexpr char KW_CHECK[] = "tarvex-check";
inline constexpr char KW_BLINK_LED[] = "tarvex-blink-led";
inline constexpr char KW_USB_REFRESH[] = "usb-refresh";

// The server and this client.
inline constexpr char KW_REGISTER_CLIENT[] = "register-client";
inline constexpr char KW_GET_VERSION[] = "get-version";
inline constexpr char KW_EXIT[] = "tarvex-exit";

// The probe's modes and state.
inline constexpr char KW_ASSERT_SRST[] = "tarvex-tcp-assert-srst";
inline constexpr char KW_INIT_MODE[] = "tarvex-usb-init-mode";
inline constexpr char KW_CURRENT_MODE[] = "tarvex-usb-current-mode";
inline constexpr char KW_EXIT_MODE[] = "tarvex-exit-mode";
inline constexpr char KW_MODE_ENTER[] = "tarvex-usb-mode-enter";
inline constexpr char KW_MODE_LEAVE[] = "tarvex-usb-mode-leave";
inline constexpr char KW_IDCODE[] = "tarvex-usb-idcode";
inline constexpr char KW_GET_STATUS[] = "tarvex-usb-get-status";
inline constexpr char KW_GET_RW_STATUS[] = "tarvex-usb-get-rw-status";
inline constexpr char KW_VERSION[] = "tarvex-tcp-version";
inline constexpr char KW_CHECK_VOLTAGE[] = "tarvex-tcp-check-voltage";
inline constexpr char KW_SET_SWDCLK[] = "tarvex-usb-set-swdclk";
inline constexpr char KW_SPEED[] = "tarvex-tcp-speed";
inline constexpr char KW_STATE[] = "tarvex-usb-state";
inline constexpr char KW_RESET[] = "tarvex-usb-reset";
inline constexpr char KW_INIT_CORE[] = "tarvex-tcp-init-core";
inline constexpr char KW_CLOSE_CORE[] = "tarvex-tcp-close-core";

// Registers, memory and trace.
inline constexpr char KW_READ_DEBUG_REG[] = "tarvex-tcp-read-debug-reg";
inline constexpr char KW_WRITE_DEBUG_REG[] = "tarvex-tcp-write-debug-reg";
inline constexpr char KW_READ_REGS[] = "tarvex-tcp-read-regs";
inline constexpr char KW_READ_REG[] = "tarvex-tcp-read-reg";
inline constexpr char KW_WRITE_REG[] = "tarvex-tcp-write-reg";
inline constexpr char KW_READ_MEM[] = "tarvex-tcp-read-mem";
inline constexpr char KW_WRITE_MEM[] = "tarvex-tcp-write-mem";
inline constexpr char KW_CONFIG_TRACE[] = "tarvex-config-trace";
inline constexpr char KW_TRACE_READ[] = "tarvex-usb-trace-read";

// Holds.
inline constexpr char KW_HOLD[] = "tarvex-tcp-hold";
inline constexpr char KW_RELEASE[] = "tarvex-tcp-release";
inline constexpr char KW_WHO_HOLDS[] = "tarvex-tcp-who-holds";
inline constexpr char KW_SHARE_HOLD[] = "tarvex-tcp-share-hold";
inline constexpr char KW_JOIN_HOLD[] = "tarvex-tcp-join-hold";
inline constexpr char KW_FORCE_RELEASE[] = "tarvex-tcp-force-release";

// RTT capture: the server reads the firmware's RTT control block while the
// core runs and keeps what each up channel wrote; every client is a reader.
// Numbers in requests are hexadecimal for addresses and lengths (BASE LEN
// ADDR, and tarvex-rtt-write's LEN), decimal otherwise (MAX among them);
// numbers in replies are decimal. ID is an association of the client, as for
// memory reads. A status may carry lines beyond those below ("wants N"):
// readers skip words they do not know.
//
// "tarvex-rtt-start ID FLAGS BASE LEN [ADDR]": the block lies at ADDR, or is
//   found by a scan of [BASE, BASE+LEN) on 4-byte boundaries; every buffer it
//   names must lie in [BASE, BASE+LEN). The client now wants capture, until
//   it stops or its connection ends; capture runs while any client wants it.
//   With RTT_START_PLACE_ONLY the request only says where to look from now on
//   (a tool that has just loaded an image), and adds no want.
//   Reply "1 RESULT\n".
// "tarvex-rtt-stop ID": the client no longer wants capture. "1 RESULT\n".
// "tarvex-rtt-status ID": "1 RESULT LEN\n" and LEN bytes of lines, each a
//   word and its fields separated by single spaces:
//     state searching|attached|paused|stopped|gone
//     address 0xADDR              (0x0 while not attached)
//     blocks N                    (valid blocks the last scan found)
//     refused TEXT...             (why the last block looked at was refused, or "-")
//     polls N
//     looks N                     (searches for the block since capture started)
//     up CH SIZE MODE CAPTURED LOST NAME      (one per up channel of the block)
//     down CH SIZE MODE QUEUED WRITTEN NAME   (one per down channel)
//   MODE is skip, trim or block (Flags bits 0-1; "mode3" for the fourth value),
//   NAME the channel's name or "-"; the last word runs to the line's end.
// "tarvex-rtt-read ID CHANNEL POSITION MAX WAIT_MS": the bytes of up channel
//   CHANNEL from the running byte position POSITION (decimal, or "end" for
//   only what comes next), at most MAX (RTT_READ_LIMIT). When there are none,
//   the reply waits up to WAIT_MS (at most RTT_WAIT_LIMIT_MS) for some.
//   Reply "1 RESULT START LOST LEN\n" and LEN bytes: START is the position of
//   the first byte sent, LOST the bytes from POSITION to START the server no
//   longer holds (0 when none were lost); the next read asks for START + LEN.
// "tarvex-rtt-write ID CHANNEL LEN\n" then LEN bytes (at most
//   RTT_WRITE_LIMIT): queued for down channel CHANNEL, written into the
//   target's down buffer in order as the firmware frees space.
//   Reply "1 RESULT ACCEPTED\n": the bytes the queue took.
inline constexpr char KW_RTT_START[] = "tarvex-rtt-start";
inline constexpr char KW_RTT_STOP[] = "tarvex-rtt-stop";
inline constexpr char KW_RTT_STATUS[] = "tarvex-rtt-status";
inline constexpr char KW_RTT_READ[] = "tarvex-rtt-read";
inline constexpr char KW_RTT_WRITE[] = "tarvex-rtt-write";
inline constexpr unsigned RTT_START_PLACE_ONLY = 1;
inline constexpr char RTT_POSITION_END[] = "end";
inline constexpr uint32_t RTT_READ_LIMIT = 16384;
inline constexpr uint32_t RTT_WRITE_LIMIT = 4096;
inline constexpr uint32_t RTT_WAIT_LIMIT_MS = 60000;
// The longest range a start may ask to scan: one look reads it all, and the
// probe does nothing else meanwhile.
inline constexpr uint32_t RTT_SCAN_LIMIT = 1u << 20;
// The most channels a block may declare in each direction.
inline constexpr int32_t RTT_CHANNEL_LIMIT = 32;

// Every keyword, for a check against a side's own table.
inline constexpr const char *KEYWORDS[] = {
    KW_GET_NB_TARVEX,
    KW_GET_NB_USB_CLIENT,
    KW_GET_NB_TCP_CLIENT,
    KW_GET_DESCRIPTOR,
    KW_GET_BY_INDEX,
    KW_OPEN_DEVICE,
    KW_CLOSE_DEVICE,
    KW_CHOOSE,
    KW_GET_CHOSEN,
    KW_CHECK,
    KW_BLINK_LED,
    KW_USB_REFRESH,
    KW_REGISTER_CLIENT,
    KW_GET_VERSION,
    KW_EXIT,
    KW_ASSERT_SRST,
    KW_INIT_MODE,
    KW_CURRENT_MODE,
    KW_EXIT_MODE,
    KW_MODE_ENTER,
    KW_MODE_LEAVE,
    KW_IDCODE,
    KW_GET_STATUS,
    KW_GET_RW_STATUS,
    KW_VERSION,
    KW_CHECK_VOLTAGE,
    KW_SET_SWDCLK,
    KW_SPEED,
    KW_STATE,
    KW_RESET,
    KW_INIT_CORE,
    KW_CLOSE_CORE,
    KW_READ_DEBUG_REG,
    KW_WRITE_DEBUG_REG,
    KW_READ_REGS,
    KW_READ_REG,
    KW_WRITE_REG,
    KW_READ_MEM,
    KW_WRITE_MEM,
    KW_CONFIG_TRACE,
    KW_TRACE_READ,
    KW_HOLD,
    KW_RELEASE,
    KW_WHO_HOLDS,
    KW_SHARE_HOLD,
    KW_JOIN_HOLD,
    KW_FORCE_RELEASE,
    KW_RTT_START,
    KW_RTT_STOP,
    KW_RTT_STATUS,
    KW_RTT_READ,
    KW_RTT_WRITE,
};
static_assert(sizeof(KEYWORDS) / sizeof(KEYWORDS[0]) == 52, "the server's table has 52 keywords");

} // namespace tarvex_wire
