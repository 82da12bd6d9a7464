// The text a firmware writes to ITM stimulus port 0, taken out of the
// trace byte stream: packets of other ports, hardware-source packets,
// timestamps, extensions, overflow and synchronisation are skipped. The
// stream may be cut anywhere between two reads; the decoder keeps its place.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>

namespace tarvex_target
{

struct itm_decoder {
    // Payload bytes still to come of the current packet, and whether they
    // are port 0's; for protocol packets, whether a continuation follows.
    uint8_t payload_left = 0;
    bool port0 = false;
    bool continued = false;
};

// Appends port 0's bytes among data[0..len) to *text.
void itm_decode(itm_decoder &d, const uint8_t *data, size_t len, std::string *text);

} // namespace tarvex_target
