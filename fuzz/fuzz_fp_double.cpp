// An instruction the virtual M7's firmware runs and the FPU's registers it
// finds: the first 4 bytes are the two halfwords, the rest fill S0-S31 and
// FPSCR. What is not carried out leaves the registers alone, what is
// carried out is what decodes, and the host's rounding mode is as it was.
#include <cfenv>
#include <cstdint>
#include <cstring>

#include "fp_double.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    if (size < 4)
        return 0;
    uint32_t first = data[0] | data[1] << 8, second = data[2] | data[3] << 8;
    vprobe::fp_file f{}, before{};
    std::memcpy(&f, data + 4, size - 4 < sizeof f ? size - 4 : sizeof f);
    before = f;
    int mode = std::fegetround();
    bool decodes = vprobe::fp_double_decodes(first, second);
    bool done = vprobe::fp_double_execute(first, second, &f);
    if (done != decodes || std::fegetround() != mode)
        __builtin_trap();
    if (!done && std::memcmp(&f, &before, sizeof f) != 0)
        __builtin_trap();
    return 0;
}
