// Readers of firmware images for the flash loader: ELF (loadable segments
// at their physical addresses), Intel HEX and raw binary with a base
// address. Each gives a list of extents sorted by address, adjacent ones
// joined; images whose parts overlap are refused.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

namespace tarvex_images
{

struct image_extent {
    uint32_t address;
    std::vector<uint8_t> bytes;
};

enum image_format : int { IMAGE_ELF = 0, IMAGE_HEX = 1, IMAGE_BINARY = 2, IMAGE_UNKNOWN = 3 };

// How the file called name is read. Raw binary only when forced so or when
// its name ends in ".bin": nothing in the bytes tells a raw binary from a
// damaged ELF or an error page saved in its place. Otherwise forced (unless
// IMAGE_UNKNOWN), else ELF by its magic, Intel HEX by its leading ':'
// (after white space), else the reader a name ending in .elf, .axf, .hex,
// .ihx or .ihex names, whose refusal then says what is wrong. IMAGE_UNKNOWN
// when none of them applies.
image_format image_choose_format(const std::string &name, const uint8_t *bytes, size_t len,
                                 image_format forced = IMAGE_UNKNOWN);
// "ELF", "Intel HEX", "raw binary" (IMAGE_UNKNOWN: "unknown").
const char *image_format_name(image_format format);

// Each returns 0, or -1 with *why (truncated, bad checksum, overlap...).
int image_read_elf(const uint8_t *bytes, size_t len, std::vector<image_extent> &out, std::string *why);
int image_read_hex(const uint8_t *text, size_t len, std::vector<image_extent> &out, std::string *why);
int image_read_binary(const uint8_t *bytes, size_t len, uint32_t base, std::vector<image_extent> &out,
                      std::string *why);
// The reader of format (base only for a raw binary); IMAGE_UNKNOWN is
// refused, naming the forms that are read.
int image_read(image_format format, const uint8_t *bytes, size_t len, uint32_t base, std::vector<image_extent> &out,
               std::string *why);

// Sorts, joins adjacent extents and drops empty ones. Returns 0, or -1
// with *why naming the first address two extents share.
int image_normalize(std::vector<image_extent> &extents, std::string *why);

} // namespace tarvex_images
