// The BKPT instructions a session wrote into RAM, kept in a file while they
// stand. A front end killed outright cannot take them out; the next session
// on the probe that finds the file does, each only where the RAM around it
// is still as the session left it. Another client may have loaded new code
// meanwhile: writing back a halfword saved from the old code would then
// corrupt the new, so a changed neighbourhood leaves the BKPT alone.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "debug_units.h"
#include "target_link.h"

namespace tarvex_gdb
{

struct planted_bkpt {
    uint32_t addr = 0;
    uint8_t original[2] = {}; // the halfword the BKPT replaced
    uint32_t around_base = 0; // the RAM around it, the BKPT in place
    std::vector<uint8_t> around;
};

// The file's text, and its reading (false on anything malformed).
std::string planted_text(const std::vector<planted_bkpt> &list);
bool planted_parse(const std::string &text, std::vector<planted_bkpt> *list);

// Where a probe's record lives: $XDG_STATE_HOME/tarvex-gdbserver/SERIAL.bkpt,
// ~/.local/state when XDG_STATE_HOME is unset; "" without either.
std::string planted_path(const std::string &serial);

class bkpt_record
{
public:
    // The probe's record, once the session owns the probe: BKPTs an
    // earlier session left are taken out where that is safe (core halted).
    void start(tarvex_target::link &l, const std::string &serial);
    // After the session's BKPTs changed: inserted, removed or cleared.
    void breakpoints_changed(tarvex_target::link &l, const tarvex_target::debug_units &u);
    // After GDB wrote [addr, addr + len): the neighbourhoods it covered.
    void memory_written(const tarvex_target::debug_units &u, uint32_t addr, const uint8_t *data, uint32_t len);

private:
    int take_out(tarvex_target::link &l, const std::vector<planted_bkpt> &left);
    void save();

    std::string path_;
    std::vector<planted_bkpt> own_;   // this session's
    std::vector<planted_bkpt> left_;  // an earlier session's, not yet checked
    std::vector<planted_bkpt> known_; // removed ones, for when GDB puts them back
};

} // namespace tarvex_gdb
