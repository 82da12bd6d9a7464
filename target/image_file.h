// Readers of firmware images for the flash loader: ELF (loadable segments
// at their physical addresses), Intel HEX and raw binary with a base
// address. Each gives a list of extents sorted by address, adjacent ones
// joined; images whose parts overlap are refused.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

namespace tarvex
{

struct image_extent {
    uint32_t address;
    std::vector<uint8_t> bytes;
};

enum image_format : int { IMAGE_ELF = 0, IMAGE_HEX = 1, IMAGE_BINARY = 2 };

// ELF by its magic, Intel HEX by a leading ':' (after white space), else binary.
image_format image_guess_format(const uint8_t *bytes, size_t len);

// Each returns 0, or -1 with *why (truncated, bad checksum, overlap...).
int image_read_elf(const uint8_t *bytes, size_t len, std::vector<image_extent> &out, std::string *why);
int image_read_hex(const uint8_t *text, size_t len, std::vector<image_extent> &out, std::string *why);
int image_read_binary(const uint8_t *bytes, size_t len, uint32_t base, std::vector<image_extent> &out,
                      std::string *why);

// Sorts, joins adjacent extents and drops empty ones. Returns 0, or -1
// with *why naming the first address two extents share.
int image_normalize(std::vector<image_extent> &extents, std::string *why);

} // namespace tarvex
