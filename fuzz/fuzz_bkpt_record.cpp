// Arbitrary bytes as the front end's record of BKPTs in RAM: read without a
// crash, and what it accepts writes back to text that reads the same.
#include <cstdint>
#include <string>
#include <vector>

#include "bkpt_record.h"

using namespace tarvex_gdb;

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    std::vector<planted_bkpt> list;
    if (!planted_parse(std::string(reinterpret_cast<const char *>(data), size), &list))
        return 0;
    std::string text = planted_text(list);
    std::vector<planted_bkpt> again;
    if (!planted_parse(text, &again) || planted_text(again) != text)
        __builtin_trap();
    return 0;
}
