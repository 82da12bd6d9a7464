#include "cli_format.h"

#include <cstdio>
#include <cstdlib>
#include <string>

namespace tarvex_cli
{

static void dump_line(std::string *out, uint32_t addr, const uint8_t *data, size_t n)
{
    char field[16];
    snprintf(field, sizeof(field), "%08x ", addr);
    *out += field;
    for (size_t i = 0; i < 16; i++) {
        if (i == 8)
            *out += ' ';
        if (i < n) {
            snprintf(field, sizeof(field), " %02x", data[i]);
            *out += field;
        } else {
            *out += "   ";
        }
    }
    *out += "  |";
    for (size_t i = 0; i < n; i++)
        *out += isprint(data[i]) ? static_cast<char>(data[i]) : '.';
    *out += "|\n";
}

std::string hex_dump(uint32_t addr, const uint8_t *data, size_t len)
{
    std::string out;
    for (size_t off = 0; off < len; off += 16)
        dump_line(&out, addr + static_cast<uint32_t>(off), data + off, len - off < 16 ? len - off : 16);
    return out;
}

std::string json_string(const std::string &text)
{
    std::string out = "\"";
    for (unsigned char c : text) {
        if (c == '"' || c == '\\') {
            out += '\\';
            out += static_cast<char>(c);
        } else if (c < 0x20) {
            char esc[8];
            snprintf(esc, sizeof(esc), "\\u%04x", c);
            out += esc;
        } else {
            out += static_cast<char>(c);
        }
    }
    return out + "\"";
}

// The length of the sequence a lead byte starts, with the range its second
// byte must lie in (which rules out overlong forms, surrogates and values
// past U+10FFFF); 0 for a byte that starts none.
static int utf8_sequence(unsigned char lead, unsigned char *low, unsigned char *high)
{
    *low = 0x80, *high = 0xBF;
    if (lead < 0x80)
        return 1;
    if (lead < 0xC2 || lead > 0xF4)
        return 0;
    if (lead < 0xE0)
        return 2;
    if (lead == 0xE0)
        *low = 0xA0;
    if (lead == 0xED)
        *high = 0x9F;
    if (lead < 0xF0)
        return 3;
    if (lead == 0xF0)
        *low = 0x90;
    if (lead == 0xF4)
        *high = 0x8F;
    return 4;
}

bool utf8_valid(const std::string &bytes)
{
    for (size_t i = 0; i < bytes.size();) {
        unsigned char low = 0, high = 0;
        int n = utf8_sequence(static_cast<unsigned char>(bytes[i]), &low, &high);
        if (n == 0 || i + static_cast<size_t>(n) > bytes.size())
            return false;
        for (int k = 1; k < n; k++) {
            unsigned char c = static_cast<unsigned char>(bytes[i + static_cast<size_t>(k)]);
            if (c < (k == 1 ? low : 0x80) || c > (k == 1 ? high : 0xBF))
                return false;
        }
        i += static_cast<size_t>(n);
    }
    return true;
}

std::string base64(const uint8_t *data, size_t len)
{
    static const char digits[] = "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789+/";
    std::string out;
    for (size_t i = 0; i < len; i += 3) {
        uint32_t v = static_cast<uint32_t>(data[i]) << 16;
        if (i + 1 < len)
            v |= static_cast<uint32_t>(data[i + 1]) << 8;
        if (i + 2 < len)
            v |= data[i + 2];
        out += digits[v >> 18 & 63];
        out += digits[v >> 12 & 63];
        out += i + 1 < len ? digits[v >> 6 & 63] : '=';
        out += i + 2 < len ? digits[v & 63] : '=';
    }
    return out;
}

std::string channel_lines::feed(int channel, const std::string &bytes)
{
    std::string out;
    for (char c : bytes) {
        if (open_ != -1 && open_ != channel)
            out += '\n';
        if (open_ != channel)
            out += "[" + std::to_string(channel) + "] ";
        out += c;
        open_ = c == '\n' ? -1 : channel;
    }
    return out;
}

json_object &json_object::add(const std::string &key, const std::string &value)
{
    return add_raw(key, json_string(value));
}

json_object &json_object::add(const std::string &key, long long value)
{
    return add_raw(key, std::to_string(value));
}

json_object &json_object::add(const std::string &key, double value)
{
    char text[32];
    snprintf(text, sizeof(text), "%.6f", value);
    return add_raw(key, text);
}

json_object &json_object::add_raw(const std::string &key, const std::string &json)
{
    members_.emplace_back(key, json);
    return *this;
}

std::string json_object::text() const
{
    std::string out = "{";
    for (size_t i = 0; i < members_.size(); i++)
        out += (i ? ", " : "") + json_string(members_[i].first) + ": " + members_[i].second;
    return out + "}";
}

std::string json_array(const std::vector<std::string> &elements)
{
    std::string out = "[";
    for (size_t i = 0; i < elements.size(); i++)
        out += (i ? ", " : "") + elements[i];
    return out + "]";
}

std::string human_bytes(double bytes)
{
    char text[32];
    if (bytes < 1024)
        snprintf(text, sizeof(text), "%.0f B", bytes);
    else if (bytes < 1024 * 1024)
        snprintf(text, sizeof(text), "%.1f KiB", bytes / 1024);
    else
        snprintf(text, sizeof(text), "%.2f MiB", bytes / (1024 * 1024));
    return text;
}

std::string progress_text(uint64_t done, uint64_t total, double seconds)
{
    double rate = seconds > 0 ? static_cast<double>(done) / seconds : 0;
    std::string text = "  " + human_bytes(static_cast<double>(done)) + " / " + human_bytes(static_cast<double>(total));
    if (rate <= 0)
        return text;
    uint64_t rest = done < total ? total - done : 0;
    long left = static_cast<long>(static_cast<double>(rest) / rate + 0.5);
    char tail[64];
    snprintf(tail, sizeof(tail), "  %s/s  %ld:%02ld left", human_bytes(rate).c_str(), left / 60, left % 60);
    return text + tail;
}

} // namespace tarvex_cli
