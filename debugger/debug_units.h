// Breakpoints and watchpoints of one debug session: the Flash Patch and
// Breakpoint unit's instruction comparators, BKPT instructions written into
// RAM, and the DWT's data comparators. Insertion answers TARGET_EXHAUSTED
// when no comparator is left, TARGET_UNSUITABLE when none reaches there.
#pragma once

#include <cstdint>
#include <vector>

#include "core_identity.h"
#include "target.h"
#include "target_link.h"

namespace tarvex_target
{

enum watch_kind : uint8_t { WATCH_WRITE = 2, WATCH_READ = 3, WATCH_ACCESS = 4 };

// What an FPB comparator holds (FP_COMPn, armv7m_debug.h): revision 1 breaks
// on either or both halfwords of a code-region word, revision 2 on any one
// halfword.
struct fpb_slot {
    bool used = false;
    uint32_t addr = 0;  // revision 1: the word address; revision 2: the halfword
    uint8_t halves = 0; // revision 1: bit 0 the lower halfword, bit 1 the upper
};
uint32_t fpb_comparator_value(bool rev2, const fpb_slot &slot);
// Whether a comparator of that revision can match an instruction at addr.
bool fpb_reaches(bool rev2, uint32_t addr);

// The Armv6-M and Armv7-M DWT matches an address with its low MASK bits
// ignored: a comparator watches one aligned power-of-two block. A range is
// watched exactly by the fewest such blocks that make it up, one comparator
// each, none wider than max_bits, so no access outside the range can match.
struct dwt_range {
    uint32_t base;
    uint32_t mask_bits;
};
constexpr uint32_t DWT_MASK_BITS_MAX = 31;
std::vector<dwt_range> dwt_blocks(uint32_t addr, uint32_t len, uint32_t max_bits = DWT_MASK_BITS_MAX);

// What one comparator's DWT_COMPn, DWT_MASKn (not written with the Armv8-M
// encoding) and DWT_FUNCTIONn are set to.
struct dwt_setting {
    uint32_t comp = 0, mask = 0, function = 0;
};
// The comparators a watchpoint of kind on [addr, addr + len) takes on that
// core, in comparator order. Masked: one per block of dwt_blocks. Armv8-M:
// one comparator for an aligned 1, 2 or 4 bytes (DATAVSIZE the size),
// otherwise a pair, the base then the inclusive limit, the pair starting at
// an even comparator.
std::vector<dwt_setting> dwt_settings(const core_identity &core, uint8_t kind, uint32_t addr, uint32_t len);

// One comparator: its setting, and the watchpoint it serves as GDB gave it
// (reported back in the stop reply, and how its comparators are found).
struct dwt_slot {
    bool used = false;
    uint32_t addr = 0;
    uint32_t len = 0;
    uint8_t kind = 0; // watch_kind
    dwt_setting setting;
};

struct soft_breakpoint {
    uint32_t addr;
    uint8_t saved[2]; // the halfword the BKPT replaced
};

struct debug_units {
    core_identity core;
    bool fpb_rev2 = false;
    std::vector<fpb_slot> fpb;
    std::vector<dwt_slot> dwt;
    std::vector<soft_breakpoint> soft;
    uint32_t ram_base = 0, ram_size = 0; // where a BKPT may be written
};

// Identifies the core (core_identity.h) and sets the units up for it.
// Call with the core halted.
int units_discover(link &l, debug_units &u);
// The units of a core already identified, none of them in use.
void units_setup(debug_units &u, const core_identity &core);
// Z0 (hardware false: RAM takes a BKPT, other code a comparator) and Z1.
int breakpoint_insert(link &l, debug_units &u, uint32_t addr, bool hardware);
int breakpoint_remove(link &l, debug_units &u, uint32_t addr, bool hardware);
int watchpoint_insert(link &l, debug_units &u, uint8_t kind, uint32_t addr, uint32_t len);
int watchpoint_remove(link &l, debug_units &u, uint8_t kind, uint32_t addr, uint32_t len);
// The watchpoint whose comparator matched (reading clears MATCHED), or null.
const dwt_slot *watchpoint_hit(link &l, debug_units &u);
// Removes everything: comparators off, RAM restored.
int units_clear(link &l, debug_units &u);
// Writes the comparators again (a system reset may have cleared them).
int units_restore(link &l, debug_units &u);
// The original bytes where BKPTs stand, over data read from addr.
void units_unpatch(const debug_units &u, uint32_t addr, std::vector<uint8_t> *data);
// After GDB wrote [addr, addr + len): keeps what it wrote under a BKPT as the
// original and puts the BKPT back.
int units_repatch(link &l, debug_units &u, uint32_t addr, const uint8_t *data, uint32_t len);

// Why the halted core stopped: DFSR read and cleared, and with a DWT trap
// the comparator that matched (*hit, else null). *cause is decoded even
// when a read failed (as from an empty DFSR), for a stop must be reported;
// the result says whether it could be read.
int stop_read(link &l, debug_units &u, const stop_context &ctx, stop_cause *cause, const dwt_slot **hit);

} // namespace tarvex_target
