#include "itm_text.h"

namespace tarvex_target
{

// A source packet's header: bits 1..0 the payload size (1, 2 or 4 bytes),
// bit 2 set for the DWT (hardware) source, bits 7..3 the port.
static constexpr uint8_t payload_size(uint8_t header)
{
    return (header & 3) == 3 ? 4 : header & 3;
}

static void header(itm_decoder &d, uint8_t h)
{
    if ((h & 3) != 0) {
        d.payload_left = payload_size(h);
        d.port0 = (h & 0xFC) == 0; // software source, port 0
        return;
    }
    // Synchronisation (zeros, then 0x80), overflow (0x70) and the short
    // timestamp stand alone; a long local timestamp (0b11xx0000) and an
    // extension or global timestamp (bit 2 set) with bit 7 set go on while
    // their bytes' bit 7 is set.
    bool long_timestamp = (h & 0x0F) == 0 && (h & 0xC0) == 0xC0;
    bool extension = (h & 0x04) != 0;
    d.continued = (h & 0x80) != 0 && (long_timestamp || extension);
}

void itm_decode(itm_decoder &d, const uint8_t *data, size_t len, std::string *text)
{
    for (size_t i = 0; i < len; i++) {
        uint8_t b = data[i];
        if (d.payload_left > 0) {
            d.payload_left--;
            if (d.port0)
                text->push_back(static_cast<char>(b));
        } else if (d.continued)
            d.continued = (b & 0x80) != 0;
        else
            header(d, b);
    }
}

} // namespace tarvex_target
