// Byte-order helpers for wire records. Every multi-byte field on the client
// protocol and in probe command blocks is little-endian; the generation-2
// version reply alone carries a big-endian word (be_to_h_u16).
#pragma once

#include <cstdint>

inline void h_u16_to_le(uint8_t *buf, uint16_t val)
{
    buf[0] = static_cast<uint8_t>(val);
    buf[1] = static_cast<uint8_t>(val >> 8);
}

inline void h_u32_to_le(uint8_t *buf, uint32_t val)
{
    buf[0] = static_cast<uint8_t>(val);
    buf[1] = static_cast<uint8_t>(val >> 8);
    buf[2] = static_cast<uint8_t>(val >> 16);
    buf[3] = static_cast<uint8_t>(val >> 24);
}

inline uint16_t le_to_h_u16(const uint8_t *buf)
{
    return static_cast<uint16_t>(buf[0] | (buf[1] << 8));
}

inline uint32_t le_to_h_u32(const uint8_t *buf)
{
    return static_cast<uint32_t>(buf[0]) | (static_cast<uint32_t>(buf[1]) << 8) |
           (static_cast<uint32_t>(buf[2]) << 16) | (static_cast<uint32_t>(buf[3]) << 24);
}

inline uint16_t be_to_h_u16(const uint8_t *buf)
{
    return static_cast<uint16_t>((buf[0] << 8) | buf[1]);
}

// Reads the 32-bit little-endian value at byte offset `first` of buf.
inline uint32_t buf_get_u32(const uint8_t *buf, unsigned first)
{
    return le_to_h_u32(buf + first);
}
