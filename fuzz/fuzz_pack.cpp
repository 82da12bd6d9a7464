// Arbitrary bytes as a pack: the first byte picks a bare description (XML)
// or a whole pack (zip); from a pack, every algorithm's member is read.
#include <cstdint>
#include <string>
#include <vector>

#include "pack_file.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    if (size < 1)
        return 0;
    std::vector<tarvex_images::pack_device> devices;
    std::string why;
    if (data[0] & 1) {
        tarvex_images::pack_read_pdsc(reinterpret_cast<const char *>(data + 1), size - 1, devices, &why);
        return 0;
    }
    if (tarvex_images::pack_read(data + 1, size - 1, devices, &why) != 0)
        return why.empty() ? (__builtin_trap(), 0) : 0;
    for (const tarvex_images::pack_device &d : devices) {
        if (tarvex_images::pack_find_device(devices, d.name) == nullptr)
            __builtin_trap();
        for (const tarvex_images::pack_algorithm &a : d.algorithms) {
            std::vector<uint8_t> member;
            tarvex_images::pack_member(data + 1, size - 1, a.path, member, &why);
        }
    }
    return 0;
}
