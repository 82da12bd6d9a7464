// Contents of memory that nothing but a flash operation changes, kept
// between reads: a debugger asks for the same code words again and again
// (each stop, each disassembly, each frame unwound), and each ask costs
// the probe a round trip. The owner says which range qualifies and forgets
// the contents whenever they may have changed. RAM never qualifies: other
// clients of a shared probe, and DMA, change it behind the debugger's back.
#pragma once

#include <array>
#include <cstdint>
#include <map>
#include <vector>

#include "target_link.h"

namespace tarvex_target
{

// Aligned lines: one request fetches a whole line, as cheap on the probe
// as the 4 bytes asked for, and the neighbouring words come with it.
constexpr uint32_t CACHE_LINE = 256;
// Beyond this many lines (1 MiB) the cache starts over.
constexpr size_t CACHE_LINES_MAX = 4096;

struct readonly_cache {
    uint32_t base = 0, size = 0; // the range kept; size 0: nothing is
    std::map<uint32_t, std::array<uint8_t, CACHE_LINE>> lines;
};

// Sets the range and forgets what was kept.
void cache_set_range(readonly_cache &c, uint32_t base, uint32_t size);
void cache_forget(readonly_cache &c);

// memory_read (target.h), with the lines of the range kept: a read that
// lies in whole lines inside the range is answered from them, its missing
// lines fetched in one read per run of them; any other read goes to the link.
int cached_read(link &l, readonly_cache &c, uint32_t addr, uint32_t len, std::vector<uint8_t> *data);

} // namespace tarvex_target
