// GDB's flash packets (vFlashErase, vFlashWrite, vFlashDone) and the flash
// regions of the memory map, through the flash loader. Erases and writes
// are gathered and programmed at vFlashDone, under the probe's hold.
#pragma once

#include <string>
#include <vector>

#include "flash_loader.h"

namespace tarvex_gdb
{

class gdb_session;

struct gdb_flash {
    tarvex_flash::flash_source source; // --algo, --pack, --device
    bool looked = false;               // the algorithm was looked for
    bool usable = false;
    tarvex_flash::flash_setup setup;
    std::vector<tarvex_images::image_extent> pending; // erased ranges with the writes inside
};

// The memory map's flash regions (one per run of equal sectors), or ""
// when no algorithm fits the target (the map then keeps flash read-only).
std::string flash_regions(gdb_session &s);

// Where flash lies: the algorithm's device when one fits the target, else
// the configured read-only region.
struct memory_region;
memory_region flash_extent(gdb_session &s);

int flash_erase_packet(gdb_session &s, const std::string &body, std::string *reply);
int flash_write_packet(gdb_session &s, const std::string &body, std::string *reply);
int flash_done_packet(gdb_session &s, const std::string &body, std::string *reply);

} // namespace tarvex_gdb
