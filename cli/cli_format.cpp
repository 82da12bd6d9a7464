#include "cli_format.h"

#include <cstdio>
#include <cstdlib>

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
