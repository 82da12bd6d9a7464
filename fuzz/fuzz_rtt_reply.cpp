// Arbitrary bytes as the server's RTT replies: the status lines, a read's
// header and a plain result line. A parse that succeeds must have kept the
// limits it promises (channel numbers, a read's length).
#include <cstdint>
#include <string>

#include "tarvex_rtt.h"

static void check_channels(const std::vector<tarvex::rtt_channel_status> &list)
{
    if (list.size() > static_cast<size_t>(tarvex_wire::RTT_CHANNEL_LIMIT))
        __builtin_trap();
    for (const tarvex::rtt_channel_status &ch : list)
        if (ch.index < 0 || ch.index >= tarvex_wire::RTT_CHANNEL_LIMIT)
            __builtin_trap();
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    std::string text(reinterpret_cast<const char *>(data), size);
    tarvex::rtt_status_record r;
    if (tarvex::rtt_parse_status(text, &r) == 0) {
        check_channels(r.up);
        check_channels(r.down);
    }
    uint32_t max = size > 0 ? data[0] : 0;
    tarvex::rtt_read_header h;
    if (tarvex::rtt_parse_read_header(text, max, &h) == 0 && h.len > max)
        __builtin_trap();
    int result = 0;
    uint32_t number = 0;
    tarvex::rtt_parse_result(text, size % 2 == 0, &result, &number);
    return 0;
}
