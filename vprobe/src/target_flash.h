// The virtual target's flash controller (registers in flash_regs.h), in
// the system space beside the debug units: the only way to change flash
// besides the test back door. Its time is the core's cycle count, so an
// operation under way ends only while the core runs, and code must poll.
// REQUIRES for every call: the bus lock (or one thread).
#pragma once

#include <cstdint>

#include "probe_model.h"

namespace vprobe
{

struct flash_sector {
    uint32_t offset; // from the flash base
    uint32_t size;   // 0: no sector there
};

// The sector holding byte `offset` of a flash of flash_size bytes; the
// last one ends at flash_size.
flash_sector flash_sector_at(uint32_t flash_size, uint32_t offset);
// Number of sectors, and index of the one holding `offset`.
uint32_t flash_sector_count(uint32_t flash_size);
uint32_t flash_sector_index(uint32_t flash_size, uint32_t offset);

// True when addr is one of the controller's words.
bool flash_ctl_owns(uint32_t addr);
uint32_t flash_ctl_read(probe_view &v, uint32_t addr);
// A store of size bytes; the registers take whole words only.
void flash_ctl_write(probe_view &v, uint32_t addr, uint32_t value, uint32_t size);
// At every reset: locked, the key accepted again, any operation finished.
void flash_ctl_reset(probe_state &st);

} // namespace vprobe
