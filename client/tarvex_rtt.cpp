#include "tarvex_rtt.h"

#include <cctype>
#include <cstdio>
#include <cstdlib>

namespace tarvex
{

using namespace tarvex_wire;

// A reply whose wait the server bounds may still queue behind the probe's
// other operations: the margin on top of the wait asked for.
constexpr int RTT_REPLY_MARGIN_MS = 5000;

static const char *const STATE_NAMES[] = {"searching", "attached", "paused", "stopped", "gone"};
static const char *const MODE_NAMES[] = {"skip", "trim", "block", "mode3"};

const char *rtt_state_name(rtt_state state)
{
    return STATE_NAMES[state];
}

const char *rtt_mode_name(rtt_mode mode)
{
    return MODE_NAMES[mode];
}

// ---- the pieces of a reply --------------------------------------------------

// The fields of text split at single spaces: an empty field (two spaces, a
// space at either end) fails, as does an empty text.
static bool split_fields(const std::string &text, std::vector<std::string> *out)
{
    out->clear();
    size_t at = 0;
    for (;;) {
        size_t space = text.find(' ', at);
        std::string field = text.substr(at, space == std::string::npos ? std::string::npos : space - at);
        if (field.empty())
            return false;
        out->push_back(field);
        if (space == std::string::npos)
            return true;
        at = space + 1;
    }
}

// Decimal digits alone, at most max.
static bool decimal(const std::string &text, uint64_t max, uint64_t *value)
{
    if (text.empty() || text.size() > 20)
        return false;
    uint64_t v = 0;
    for (char c : text) {
        if (!isdigit(static_cast<unsigned char>(c)))
            return false;
        uint64_t d = static_cast<uint64_t>(c - '0');
        if (d > max || v > (max - d) / 10)
            return false;
        v = v * 10 + d;
    }
    *value = v;
    return true;
}

// "0x" and one to eight hexadecimal digits.
static bool address(const std::string &text, uint32_t *value)
{
    if (text.size() < 3 || text.size() > 10 || text.compare(0, 2, "0x") != 0)
        return false;
    for (size_t i = 2; i < text.size(); i++)
        if (!isxdigit(static_cast<unsigned char>(text[i])))
            return false;
    *value = static_cast<uint32_t>(strtoul(text.c_str() + 2, nullptr, 16));
    return true;
}

// A RESULT: an optional minus sign and decimal digits within int.
static bool result_number(const std::string &text, int *value)
{
    bool negative = !text.empty() && text[0] == '-';
    uint64_t magnitude = 0;
    if (!decimal(negative ? text.substr(1) : text, negative ? 0x80000000ull : 0x7FFFFFFFull, &magnitude))
        return false;
    *value = negative ? static_cast<int>(-static_cast<int64_t>(magnitude)) : static_cast<int>(magnitude);
    return true;
}

// The line without its end of line.
static std::string without_newline(const std::string &line)
{
    return !line.empty() && line.back() == '\n' ? line.substr(0, line.size() - 1) : line;
}

// "1 RESULT" and then `extra` fields, or only "1 RESULT" when the result is
// a failure and allow_bare. A server without RTT answers "0 unknown_command":
// an answer, with no fields, whose result is -1.
static bool done_fields(const std::string &line, size_t extra, bool allow_bare, std::vector<std::string> *f,
                        int *result)
{
    if (!split_fields(without_newline(line), f))
        return false;
    if ((*f)[0] == REPLY_NOT_DONE) {
        f->clear();
        *result = -1;
        return true;
    }
    if ((*f)[0] != REPLY_DONE || f->size() < 2 || !result_number((*f)[1], result))
        return false;
    return f->size() == 2 + extra || (allow_bare && f->size() == 2 && *result != RESULT_OK);
}

int rtt_parse_result(const std::string &line, bool with_number, int *result, uint32_t *number)
{
    std::vector<std::string> f;
    if (!done_fields(line, with_number ? 1 : 0, with_number, &f, result))
        return -1;
    uint64_t n = 0;
    if (f.size() == 3 && !decimal(f[2], 0xFFFFFFFFu, &n))
        return -1;
    if (number != nullptr)
        *number = static_cast<uint32_t>(n);
    return 0;
}

int rtt_parse_read_header(const std::string &line, uint32_t max, rtt_read_header *out)
{
    std::vector<std::string> f;
    rtt_read_header h;
    if (!done_fields(line, 3, true, &f, &h.result))
        return -1;
    uint64_t len = 0;
    if (f.size() == 5 &&
        (!decimal(f[2], UINT64_MAX, &h.start) || !decimal(f[3], UINT64_MAX, &h.lost) || !decimal(f[4], max, &len)))
        return -1;
    h.len = static_cast<uint32_t>(len);
    *out = h;
    return 0;
}

// ---- status lines -------------------------------------------------------------

template <typename names> static bool name_index(const std::string &word, const names &table, int *index)
{
    for (size_t i = 0; i < sizeof(table) / sizeof(table[0]); i++)
        if (word == table[i]) {
            *index = static_cast<int>(i);
            return true;
        }
    return false;
}

// "CH SIZE MODE FIRST SECOND NAME", NAME running to the line's end.
static bool channel_line(const std::string &rest, std::vector<rtt_channel_status> *list)
{
    std::vector<std::string> f;
    if (!split_fields(rest, &f) || f.size() < 6)
        return false;
    rtt_channel_status ch;
    uint64_t index = 0, size = 0;
    int mode = 0;
    if (!decimal(f[0], RTT_CHANNEL_LIMIT - 1, &index) || !decimal(f[1], 0xFFFFFFFFu, &size) ||
        !name_index(f[2], MODE_NAMES, &mode) || !decimal(f[3], UINT64_MAX, &ch.first) ||
        !decimal(f[4], UINT64_MAX, &ch.second))
        return false;
    ch.index = static_cast<int>(index);
    ch.size = static_cast<uint32_t>(size);
    ch.mode = static_cast<rtt_mode>(mode);
    size_t name_at = 0;
    for (int i = 0; i < 5; i++)
        name_at = rest.find(' ', name_at) + 1;
    ch.name = rest.substr(name_at);
    if (ch.name == "-")
        ch.name.clear();
    for (const rtt_channel_status &other : *list)
        if (other.index == ch.index)
            return false;
    list->push_back(ch);
    return true;
}

enum status_word : int { W_STATE, W_ADDRESS, W_BLOCKS, W_REFUSED, W_POLLS, W_LOOKS, W_UP, W_DOWN, W_OTHER };
static const char *const STATUS_WORDS[] = {"state", "address", "blocks", "refused", "polls", "looks", "up", "down"};
constexpr int REQUIRED_WORDS = W_UP; // every word before it once

static bool single_number(const std::string &rest, uint64_t max, uint64_t *value)
{
    return rest.find(' ') == std::string::npos && decimal(rest, max, value);
}

static bool status_line(status_word w, const std::string &rest, rtt_status_record *out)
{
    int state = 0;
    uint64_t n = 0;
    switch (w) {
    case W_STATE:
        if (!name_index(rest, STATE_NAMES, &state))
            return false;
        out->state = static_cast<rtt_state>(state);
        return true;
    case W_ADDRESS:
        return address(rest, &out->address);
    case W_BLOCKS:
        if (!single_number(rest, 0xFFFFFFFFu, &n))
            return false;
        out->blocks = static_cast<uint32_t>(n);
        return true;
    case W_REFUSED:
        if (rest.empty())
            return false;
        out->refused = rest == "-" ? "" : rest;
        return true;
    case W_POLLS:
        return single_number(rest, UINT64_MAX, &out->polls);
    case W_LOOKS:
        return single_number(rest, UINT64_MAX, &out->looks);
    case W_UP:
        return channel_line(rest, &out->up);
    case W_DOWN:
        return channel_line(rest, &out->down);
    case W_OTHER:
        break;
    }
    return true;
}

int rtt_parse_status(const std::string &text, rtt_status_record *out)
{
    rtt_status_record r;
    bool seen[REQUIRED_WORDS] = {};
    size_t at = 0;
    while (at < text.size()) {
        size_t nl = text.find('\n', at);
        std::string line = text.substr(at, nl == std::string::npos ? std::string::npos : nl - at);
        at = nl == std::string::npos ? text.size() : nl + 1;
        size_t space = line.find(' ');
        if (space == std::string::npos || space == 0)
            return -1;
        int word = W_OTHER;
        if (!name_index(line.substr(0, space), STATUS_WORDS, &word))
            word = W_OTHER;
        if (word < REQUIRED_WORDS && seen[word])
            return -1;
        if (word < REQUIRED_WORDS)
            seen[word] = true;
        if (!status_line(static_cast<status_word>(word), line.substr(space + 1), &r))
            return -1;
    }
    for (bool s : seen)
        if (!s)
            return -1;
    *out = r;
    return 0;
}

// ---- the requests ---------------------------------------------------------------

static int simple_request(connection &c, const std::string &request, int *result)
{
    std::string reply;
    if (c.text(request, &reply) != 0)
        return -1;
    return rtt_parse_result(reply, false, result, nullptr) == 0 ? 0 : RTT_MALFORMED;
}

int rtt_start(connection &c, uint32_t assoc, unsigned flags, uint32_t ram_base, uint32_t ram_len, uint32_t address,
              int *result)
{
    char request[128];
    int n = snprintf(request, sizeof(request), "%s %u %u %x %x", KW_RTT_START, assoc, flags, ram_base, ram_len);
    if (address != 0)
        snprintf(request + n, sizeof(request) - static_cast<size_t>(n), " %x", address);
    return simple_request(c, std::string(request) + "\n", result);
}

int rtt_stop(connection &c, uint32_t assoc, int *result)
{
    return simple_request(c, std::string(KW_RTT_STOP) + " " + std::to_string(assoc) + "\n", result);
}

// The LEN bytes after a header; a failed receive leaves the connection
// without its place in the stream.
static int take_bytes(connection &c, size_t len, std::vector<uint8_t> *data, int timeout_ms)
{
    data->assign(len, 0);
    return len == 0 ? 0 : c.recv_exact(data->data(), len, timeout_ms);
}

int rtt_status(connection &c, uint32_t assoc, int *result, rtt_status_record *status)
{
    std::string reply;
    if (c.text(std::string(KW_RTT_STATUS) + " " + std::to_string(assoc) + "\n", &reply) != 0)
        return -1;
    // No status fills more than the staging buffer the server builds it in.
    uint32_t len = 0;
    if (rtt_parse_result(reply, true, result, &len) != 0 || len > STAGING_BUFFER_SIZE)
        return RTT_MALFORMED;
    std::vector<uint8_t> bytes;
    if (take_bytes(c, len, &bytes, 5000) != 0)
        return -1;
    if (len > 0 && rtt_parse_status(std::string(bytes.begin(), bytes.end()), status) != 0)
        return RTT_MALFORMED;
    return 0;
}

int rtt_read(connection &c, uint32_t assoc, int channel, const rtt_position &from, uint32_t max, uint32_t wait_ms,
             int *result, rtt_chunk *chunk)
{
    if (max > RTT_READ_LIMIT)
        max = RTT_READ_LIMIT;
    if (wait_ms > RTT_WAIT_LIMIT_MS)
        wait_ms = RTT_WAIT_LIMIT_MS;
    std::string position = from.at_end ? RTT_POSITION_END : std::to_string(from.value);
    std::string request = std::string(KW_RTT_READ) + " " + std::to_string(assoc) + " " + std::to_string(channel) + " " +
                          position + " " + std::to_string(max) + " " + std::to_string(wait_ms) + "\n";
    int timeout_ms = static_cast<int>(wait_ms) + RTT_REPLY_MARGIN_MS;
    std::string reply;
    rtt_read_header h;
    if (c.text(request, &reply, timeout_ms) != 0)
        return -1;
    if (rtt_parse_read_header(reply, max, &h) != 0)
        return RTT_MALFORMED;
    *result = h.result;
    chunk->start = h.start;
    chunk->lost = h.lost;
    return take_bytes(c, h.len, &chunk->data, timeout_ms);
}

int rtt_write(connection &c, uint32_t assoc, int channel, const uint8_t *data, size_t len, int *result,
              uint32_t *accepted)
{
    if (len > RTT_WRITE_LIMIT)
        len = RTT_WRITE_LIMIT;
    // LEN is a length: hexadecimal, as the wire's lengths are.
    char line[96];
    snprintf(line, sizeof(line), "%s %u %d %zx\n", KW_RTT_WRITE, assoc, channel, len);
    std::string request = line;
    request.append(reinterpret_cast<const char *>(data), len);
    std::string reply;
    if (c.text(request, &reply) != 0)
        return -1;
    *accepted = 0;
    if (rtt_parse_result(reply, true, result, accepted) != 0 || *accepted > len)
        return RTT_MALFORMED;
    return 0;
}

} // namespace tarvex
