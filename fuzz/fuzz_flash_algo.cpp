// Arbitrary bytes as a flash algorithm (.FLM): refused, or a record whose
// offsets and sector list the loader may trust.
#include <cstdint>
#include <string>

#include "flash_algo.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    tarvex_images::flash_algo a;
    std::string why;
    if (tarvex_images::flash_algo_parse(data, size, a, &why) != 0) {
        if (why.empty())
            __builtin_trap(); // every refusal says why
        return 0;
    }
    for (uint32_t entry : {a.init, a.uninit, a.erase_sector, a.program_page})
        if (entry >= a.code.size())
            __builtin_trap();
    if (a.data_offset < a.code.size() || tarvex_images::flash_algo_image(a).size() != tarvex_images::flash_algo_span(a))
        __builtin_trap();
    for (const tarvex_images::flash_sector_run &r : a.device.sectors) {
        uint32_t start = 0, sector = 0;
        if (tarvex_images::flash_sector_find(a.device, r.offset, &start, &sector) != 0 || start != r.offset ||
            sector != r.size)
            __builtin_trap(); // each run starts on a sector of its own size
    }
    return 0;
}
