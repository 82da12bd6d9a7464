// Where an address lies in an image: the function (from the ELF symbol
// table) and the source line (from its DWARF line table), for reports of
// where firmware stopped; and the symbols and writable memory a tool
// looks for in an image it loaded.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>

namespace tarvex_images
{

struct image_place {
    std::string function; // empty when no function symbol covers the address
    uint32_t offset = 0;  // from the function's start
    std::string file;     // empty without line information
    int line = 0;
};

// Looks addr up in an ELF image held in memory; 0 when a function or a
// line was found, -1 when neither (or the bytes are no Arm ELF).
int image_place_of(const uint8_t *bytes, size_t len, uint32_t addr, image_place *out);

// The ELF header's entry point: 0, or -1 when the bytes are no Arm ELF.
int image_entry(const uint8_t *bytes, size_t len, uint32_t *entry);

// The value of the defined symbol called name: 0, or -1 when the image has
// none (or the bytes are no Arm ELF).
int image_symbol(const uint8_t *bytes, size_t len, const char *name, uint32_t *value);

// Where the image's writable loadable segments lie in memory, from the
// lowest start to the highest end (their sizes in memory, zeroed parts
// included): 0, or -1 when it has none.
int image_writable_span(const uint8_t *bytes, size_t len, uint32_t *base, uint32_t *size);

// "function+0xOFF (file:line)" with what is known, or "".
std::string image_place_text(const image_place &p);

} // namespace tarvex_images
