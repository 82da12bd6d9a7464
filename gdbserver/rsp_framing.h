// GDB's Remote Serial Protocol on the byte level: packets "$BODY#CS" with a
// two-digit checksum (the sum of the body's bytes modulo 256), the one-byte
// acknowledgements "+" and "-", the interrupt byte 0x03, and the binary
// escape ("}" then the byte XOR 0x20) of X packets and qXfer replies.
// Pure functions and one parser object, so they are tested with raw bytes.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

namespace tarvex_gdb
{

enum rsp_event_kind {
    RSP_PACKET,       // a whole packet with a good checksum: body holds it
    RSP_BAD_CHECKSUM, // a whole packet whose checksum does not match
    RSP_TOO_LONG,     // a packet longer than the limit, checksum good, body dropped
    RSP_INTERRUPT,    // 0x03 outside a packet
    RSP_ACK,          // "+"
    RSP_NAK,          // "-": the last packet sent must go again
};

struct rsp_event {
    rsp_event_kind kind;
    std::string body;
};

// Cuts a byte stream from GDB into events. Bytes outside a packet other than
// "$", "+", "-" and 0x03 are skipped; a packet may arrive in any number of
// pieces.
class rsp_reader
{
public:
    explicit rsp_reader(size_t max_body) : max_body_(max_body) {}
    void feed(const uint8_t *data, size_t len, std::vector<rsp_event> *events);

private:
    enum state { OUTSIDE, BODY, SUM_HIGH, SUM_LOW };
    void packet_byte(uint8_t c, std::vector<rsp_event> *events);
    size_t max_body_;
    state state_ = OUTSIDE;
    std::string body_;
    uint8_t sum_ = 0;
    bool too_long_ = false;
    int received_sum_ = 0;
};

// "$BODY#CS".
std::string rsp_frame(const std::string &body);

// Binary data with "#", "$", "}" and "*" escaped.
std::string rsp_escape(const uint8_t *data, size_t len);
// Undoes rsp_escape on text[from..]; false when it ends inside an escape.
bool rsp_unescape(const std::string &text, size_t from, std::vector<uint8_t> *out);

// Two lower-case hex digits a byte; decode is false on an odd length or a
// character that is no hex digit.
std::string hex_encode(const uint8_t *data, size_t len);
std::string hex_encode(const std::string &text);
bool hex_decode(const std::string &text, std::vector<uint8_t> *out);

// A 32-bit register value as GDB sends it: target byte order (little
// endian), eight hex digits.
std::string hex_u32_le(uint32_t value);
bool parse_u32_le(const std::string &text, uint32_t *value);

// The hex number at text[*pos]; *pos moves to the first character after its
// digits. False when there is no digit or the value does not fit 32 bits.
bool parse_hex_field(const std::string &text, size_t *pos, uint32_t *value);

} // namespace tarvex_gdb
