// Trace bytes as a probe might deliver them: the ITM decoder must give the
// same port-0 text however the stream is cut between reads (the first
// input byte picks the cut), and never more text than there were bytes.
#include <cstdint>
#include <string>

#include "itm_text.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    if (size < 1)
        return 0;
    size_t cut = data[0] % size;
    const uint8_t *stream = data + 1;
    size_t len = size - 1;
    cut = cut > len ? len : cut;
    tarvex_target::itm_decoder whole, parts;
    std::string once, split;
    tarvex_target::itm_decode(whole, stream, len, &once);
    tarvex_target::itm_decode(parts, stream, cut, &split);
    tarvex_target::itm_decode(parts, stream + cut, len - cut, &split);
    if (once != split || once.size() > len)
        __builtin_trap();
    return 0;
}
