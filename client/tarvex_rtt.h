// The RTT capture requests of the text protocol: the server reads the
// firmware's RTT control block while the core runs and keeps what each up
// channel wrote; this client is one of its readers. Results as in
// tarvex_text.h: 0 when the server answered, -1 when the connection failed
// or no reply came, RTT_MALFORMED when the reply broke the protocol (the
// connection is out of step with its replies from then on). What the server
// answered goes into the out-parameters.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

#include "tarvex_client.h"
#include "tarvex_wire.h"

namespace tarvex
{

constexpr int RTT_MALFORMED = -2;

enum rtt_state : int { RTT_SEARCHING, RTT_ATTACHED, RTT_PAUSED, RTT_STOPPED, RTT_GONE };
// What a full up buffer does to the firmware's write (Flags bits 0-1).
enum rtt_mode : int { RTT_MODE_SKIP, RTT_MODE_TRIM, RTT_MODE_BLOCK, RTT_MODE_3 };

struct rtt_channel_status {
    int index = 0;
    uint32_t size = 0;
    rtt_mode mode = RTT_MODE_SKIP;
    // Up: bytes captured and bytes the server's ring dropped; down: bytes
    // queued and bytes written into the target's buffer.
    uint64_t first = 0;
    uint64_t second = 0;
    std::string name; // "" when the channel has none
};

struct rtt_status_record {
    rtt_state state = RTT_STOPPED;
    uint32_t address = 0; // 0 while not attached
    uint32_t blocks = 0;
    std::string refused; // "" when nothing was refused
    uint64_t polls = 0;
    uint64_t looks = 0;
    std::vector<rtt_channel_status> up;
    std::vector<rtt_channel_status> down;
};

const char *rtt_state_name(rtt_state state);
const char *rtt_mode_name(rtt_mode mode);

// The lines of a status reply: 0, or -1 when any line is malformed, a
// required line is missing or repeated, or a channel is listed twice.
// Lines of words this client does not know are skipped.
int rtt_parse_status(const std::string &text, rtt_status_record *out);

// A read reply's line "1 RESULT START LOST LEN" (or "1 RESULT" when
// nothing follows a failure); LEN above max is malformed. 0 or -1.
struct rtt_read_header {
    int result = 0;
    uint64_t start = 0;
    uint64_t lost = 0;
    uint32_t len = 0;
};
int rtt_parse_read_header(const std::string &line, uint32_t max, rtt_read_header *out);

// "1 RESULT [NUMBER]" of start, stop and write (NUMBER there when
// with_number): 0, or -1.
int rtt_parse_result(const std::string &line, bool with_number, int *result, uint32_t *number);

// tarvex-rtt-start: the block at address, or (address 0) found by a scan of
// [ram_base, ram_base + ram_len); flags RTT_START_PLACE_ONLY or 0.
int rtt_start(connection &c, uint32_t assoc, unsigned flags, uint32_t ram_base, uint32_t ram_len, uint32_t address,
              int *result);
int rtt_stop(connection &c, uint32_t assoc, int *result);
// *status is filled only when the reply carried lines.
int rtt_status(connection &c, uint32_t assoc, int *result, rtt_status_record *status);

// Where a read starts: a running byte position, or only what comes next.
struct rtt_position {
    bool at_end = true;
    uint64_t value = 0;
};

struct rtt_chunk {
    uint64_t start = 0; // the position of data[0]
    uint64_t lost = 0;  // bytes from the position asked for to start that the server no longer held
    std::vector<uint8_t> data;
};

// tarvex-rtt-read: up to max (at most RTT_READ_LIMIT) bytes of up channel
// `channel`, waiting up to wait_ms for some when there are none.
int rtt_read(connection &c, uint32_t assoc, int channel, const rtt_position &from, uint32_t max, uint32_t wait_ms,
             int *result, rtt_chunk *chunk);
// tarvex-rtt-write: len (at most RTT_WRITE_LIMIT) bytes for down channel
// `channel`; *accepted is what the server's queue took.
int rtt_write(connection &c, uint32_t assoc, int channel, const uint8_t *data, size_t len, int *result,
              uint32_t *accepted);

} // namespace tarvex
