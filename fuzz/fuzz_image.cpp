// Arbitrary bytes as a firmware image: the first byte picks the reader (ELF,
// Intel HEX, binary at a base, or the one image_choose_format picks for a
// file name), the rest is the file. What is accepted is sorted, non-empty
// and free of overlaps.
#include <cstdint>
#include <string>
#include <vector>

#include "image_file.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    if (size < 1)
        return 0;
    std::vector<tarvex_images::image_extent> out;
    std::string why;
    int rc = 0;
    static const char *const names[] = {"app.elf", "app.hex", "app.bin", "app", "app.axf", "app.ihex"};
    switch (data[0] % 4) {
    case 0:
        rc = tarvex_images::image_read_elf(data + 1, size - 1, out, &why);
        break;
    case 1:
        rc = tarvex_images::image_read_hex(data + 1, size - 1, out, &why);
        break;
    case 2:
        rc = tarvex_images::image_read_binary(data + 1, size - 1, 0xFFFFFF00u * ((data[0] >> 2) & 1), out, &why);
        break;
    default: {
        const char *name = names[(data[0] >> 2) % 6];
        rc = tarvex_images::image_read(tarvex_images::image_choose_format(name, data + 1, size - 1), data + 1, size - 1,
                                       0, out, &why);
        break;
    }
    }
    if (rc != 0)
        return why.empty() ? (__builtin_trap(), 0) : 0;
    uint64_t end = 0;
    for (const tarvex_images::image_extent &e : out) {
        if (e.bytes.empty() || e.address < end || uint64_t{e.address} + e.bytes.size() > (uint64_t{1} << 32))
            __builtin_trap();
        end = uint64_t{e.address} + e.bytes.size() + 1; // adjacent extents were joined
    }
    return 0;
}
