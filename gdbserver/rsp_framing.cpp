#include "rsp_framing.h"

#include <cstdio>

namespace tarvex_gdb
{

static int hex_digit(char c)
{
    if (c >= '0' && c <= '9')
        return c - '0';
    if (c >= 'a' && c <= 'f')
        return c - 'a' + 10;
    if (c >= 'A' && c <= 'F')
        return c - 'A' + 10;
    return -1;
}

void rsp_reader::feed(const uint8_t *data, size_t len, std::vector<rsp_event> *events)
{
    for (size_t i = 0; i < len; i++) {
        uint8_t c = data[i];
        if (state_ != OUTSIDE) {
            packet_byte(c, events);
        } else if (c == '$') {
            state_ = BODY;
            body_.clear();
            sum_ = 0;
            too_long_ = false;
        } else if (c == '+') {
            events->push_back({RSP_ACK, ""});
        } else if (c == '-') {
            events->push_back({RSP_NAK, ""});
        } else if (c == 0x03) {
            events->push_back({RSP_INTERRUPT, ""});
        }
    }
}

void rsp_reader::packet_byte(uint8_t c, std::vector<rsp_event> *events)
{
    if (state_ == BODY) {
        if (c == '#') {
            state_ = SUM_HIGH;
            return;
        }
        sum_ = static_cast<uint8_t>(sum_ + c);
        // The sum still counts the dropped bytes, so a corrupted over-long
        // packet is told from an intact one.
        if (body_.size() < max_body_)
            body_.push_back(static_cast<char>(c));
        else
            too_long_ = true;
        return;
    }
    int digit = hex_digit(static_cast<char>(c));
    if (state_ == SUM_HIGH) {
        received_sum_ = digit < 0 ? -256 : digit << 4;
        state_ = SUM_LOW;
        return;
    }
    state_ = OUTSIDE;
    bool good = digit >= 0 && received_sum_ >= 0 && received_sum_ + digit == sum_;
    if (!good)
        events->push_back({RSP_BAD_CHECKSUM, ""});
    else if (too_long_)
        events->push_back({RSP_TOO_LONG, ""});
    else
        events->push_back({RSP_PACKET, body_});
    body_.clear();
}

std::string rsp_frame(const std::string &body)
{
    uint8_t sum = 0;
    for (char c : body)
        sum = static_cast<uint8_t>(sum + static_cast<uint8_t>(c));
    char tail[4];
    snprintf(tail, sizeof(tail), "#%02x", sum);
    return "$" + body + tail;
}

std::string rsp_escape(const uint8_t *data, size_t len)
{
    std::string out;
    out.reserve(len + len / 8);
    for (size_t i = 0; i < len; i++) {
        uint8_t c = data[i];
        if (c == '#' || c == '$' || c == '}' || c == '*') {
            out.push_back('}');
            c ^= 0x20;
        }
        out.push_back(static_cast<char>(c));
    }
    return out;
}

bool rsp_unescape(const std::string &text, size_t from, std::vector<uint8_t> *out)
{
    out->clear();
    out->reserve(text.size() > from ? text.size() - from : 0);
    for (size_t i = from; i < text.size(); i++) {
        uint8_t c = static_cast<uint8_t>(text[i]);
        if (c == '}') {
            if (++i == text.size())
                return false;
            c = static_cast<uint8_t>(text[i]) ^ 0x20;
        }
        out->push_back(c);
    }
    return true;
}

std::string hex_encode(const uint8_t *data, size_t len)
{
    static const char digits[] = "0123456789abcdef";
    std::string out(2 * len, '0');
    for (size_t i = 0; i < len; i++) {
        out[2 * i] = digits[data[i] >> 4];
        out[2 * i + 1] = digits[data[i] & 0xF];
    }
    return out;
}

std::string hex_encode(const std::string &text)
{
    return hex_encode(reinterpret_cast<const uint8_t *>(text.data()), text.size());
}

bool hex_decode(const std::string &text, std::vector<uint8_t> *out)
{
    out->clear();
    if (text.size() % 2 != 0)
        return false;
    for (size_t i = 0; i < text.size(); i += 2) {
        int high = hex_digit(text[i]), low = hex_digit(text[i + 1]);
        if (high < 0 || low < 0)
            return false;
        out->push_back(static_cast<uint8_t>(high << 4 | low));
    }
    return true;
}

std::string hex_u32_le(uint32_t value)
{
    uint8_t bytes[4] = {static_cast<uint8_t>(value), static_cast<uint8_t>(value >> 8),
                        static_cast<uint8_t>(value >> 16), static_cast<uint8_t>(value >> 24)};
    return hex_encode(bytes, 4);
}

bool parse_u32_le(const std::string &text, uint32_t *value)
{
    std::vector<uint8_t> bytes;
    if (text.size() != 8 || !hex_decode(text, &bytes))
        return false;
    *value = static_cast<uint32_t>(bytes[0]) | static_cast<uint32_t>(bytes[1]) << 8 |
             static_cast<uint32_t>(bytes[2]) << 16 | static_cast<uint32_t>(bytes[3]) << 24;
    return true;
}

bool parse_hex_field(const std::string &text, size_t *pos, uint32_t *value)
{
    uint64_t v = 0;
    size_t i = *pos;
    for (; i < text.size() && hex_digit(text[i]) >= 0; i++) {
        v = v << 4 | static_cast<uint64_t>(hex_digit(text[i]));
        if (v > 0xFFFFFFFFull)
            return false;
    }
    if (i == *pos)
        return false;
    *pos = i;
    *value = static_cast<uint32_t>(v);
    return true;
}

} // namespace tarvex_gdb
