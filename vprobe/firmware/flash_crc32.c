/* CRC-32 (the IEEE 802.3 polynomial, reflected, as zlib computes it) over
   target memory, loaded beside the flash algorithm so that the loader can
   compare a range of flash with an image without reading it back:
   R0 = crc32(R0 = address, R1 = length), returning to LR like a flash
   algorithm's function. Position independent: the table is reached
   PC-relative, and there is no writable data. The entry is at offset 0. */
#include <stdint.h>

static const uint32_t table[16] = {
    0x00000000u, 0x1DB71064u, 0x3B6E20C8u, 0x26D930ACu, 0x76DC4190u, 0x6B6B51F4u, 0x4DB26158u, 0x5005713Cu,
    0xEDB88320u, 0xF00F9344u, 0xD6D6A3E8u, 0xCB61B38Cu, 0x9B64C2B0u, 0x86D3D2D4u, 0xA00AE278u, 0xBDBDF21Cu,
};

__attribute__((section(".text.entry"))) uint32_t crc32_range(const uint8_t *p, uint32_t len)
{
    uint32_t crc = 0xFFFFFFFFu;
    for (uint32_t i = 0; i < len; i++) {
        crc ^= p[i];
        crc = (crc >> 4) ^ table[crc & 15u];
        crc = (crc >> 4) ^ table[crc & 15u];
    }
    return ~crc;
}
