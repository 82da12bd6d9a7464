// Text the command-line client prints: hex dumps, JSON, the transfer
// progress line. Pure functions, so they are tested alone.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <utility>
#include <vector>

namespace tarvex_cli
{

// Sixteen bytes per line: the address, the bytes in hex, then the printable
// ones ("." for the others): "20000000  00 01 ... 0f  |................|".
std::string hex_dump(uint32_t addr, const uint8_t *data, size_t len);

// A JSON string literal: quoted, with quotes, backslashes and control
// characters escaped.
std::string json_string(const std::string &text);

// The members of one JSON object, in the order they were added.
class json_object
{
public:
    json_object &add(const std::string &key, const std::string &value);
    json_object &add(const std::string &key, long long value);
    json_object &add(const std::string &key, double value);
    json_object &add_raw(const std::string &key, const std::string &json);
    std::string text() const;

private:
    std::vector<std::pair<std::string, std::string>> members_;
};

std::string json_array(const std::vector<std::string> &elements);

// Whether bytes are well-formed UTF-8 (no overlong forms, no surrogates,
// nothing past U+10FFFF), so that a JSON string can carry them as text.
bool utf8_valid(const std::string &bytes);
// Standard base64 with padding.
std::string base64(const uint8_t *data, size_t len);

// The text of several channels on one stream: "[N] " starts each line, and
// a line another channel broke into is ended first, so every line on the
// stream is one channel's.
class channel_lines
{
public:
    std::string feed(int channel, const std::string &bytes);

private:
    int open_ = -1; // the channel whose line is unfinished, -1 when none is
};

// "512 B", "64.0 KiB", "1.50 MiB".
std::string human_bytes(double bytes);

// The progress line: bytes done of total, rate, and the time left at that
// rate ("  64.0 KiB / 1.00 MiB  2.10 MiB/s  0:03 left").
std::string progress_text(uint64_t done, uint64_t total, double seconds);

} // namespace tarvex_cli
