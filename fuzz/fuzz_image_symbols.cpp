// Arbitrary bytes as the ELF image a fault report looks an address up in:
// its symbol table and DWARF line table are the fuzzer's. The first four
// bytes are the address.
#include <cstdint>

#include "image_symbols.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    if (size < 4)
        return 0;
    uint32_t addr = data[0] | data[1] << 8 | data[2] << 16 | static_cast<uint32_t>(data[3]) << 24;
    tarvex_images::image_place p;
    if (tarvex_images::image_place_of(data + 4, size - 4, addr, &p) == 0 && p.function.empty() && p.file.empty())
        __builtin_trap();
    return 0;
}
