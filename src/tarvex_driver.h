// Records that cross the client boundary: the probe description sent to
// clients and the descriptor of a raw pass-through request.
#pragma once

#include <cstddef>
#include <cstdint>

// Wire layout of the 41-byte description, little-endian:
//   0..3 probe key, 4..35 serial text NUL-terminated, 36..37 vendor ID,
//   38..39 product ID, 40 device_used (always 0).
constexpr size_t TARVEX_DEVICE_INFO_SIZE = 41;
constexpr size_t TARVEX_SERIAL_FIELD_SIZE = 32;

struct tarvex_device_info {
    uint32_t tarvex_usb_id;
    char enum_unique_id[TARVEX_SERIAL_FIELD_SIZE]; // bytes after the NUL keep the caller's content
    uint16_t vendor_id;
    uint16_t product_id;
    uint8_t device_used;
};

// Writes the 41 wire bytes of `info` to `out`; the serial field goes out as
// all 32 bytes of enum_unique_id.
void tarvex_device_info_encode(const tarvex_device_info *info, uint8_t *out);

// Directions of a pass-through request.
constexpr uint32_t REQUEST_WRITE = 0;    // 16 command bytes out, then buffer_size bytes out
constexpr uint32_t REQUEST_READ = 1;     // 16 command bytes out, then buffer_size bytes in
constexpr uint32_t REQUEST_READ_EP3 = 3; // no command; buffer_size bytes in from the trace endpoint

struct device_request_2 {
    uint32_t input_request; // direction; any other value acts as REQUEST_WRITE
    uint32_t buffer_size;   // length of the data phase in bytes
};
