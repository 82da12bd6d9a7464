// Semihosting while GDB continues: a halt on BKPT 0xAB is served by the
// semihosting module instead of being reported. The firmware's console
// output goes to GDB as console output packets, its input comes from the
// gdbserver's standard input, and SYS_EXIT ends the inferior with an exit
// reply carrying its status. "monitor semihosting disable" turns it off:
// GDB then stops at the BKPT like at any breakpoint.
#pragma once

#include <string>
#include <vector>

#include "semihosting.h"
#include "target_link.h"

namespace tarvex_gdb
{

class gdb_session;

struct gdb_semihost {
    bool enabled = true;
    bool started = false;
    bool called = false;           // the firmware has made a call: its arguments are fixed
    std::vector<std::string> args; // SYS_GET_CMDLINE, from "monitor semihosting args"
    int console_fd = -1;           // a memory file the module writes; sent on as 'O' packets
    tarvex_semihost::semihost_session session;

    gdb_semihost() = default;
    gdb_semihost(const gdb_semihost &) = delete;
    gdb_semihost &operator=(const gdb_semihost &) = delete;
    ~gdb_semihost();
};

enum semihost_stop : int {
    SEMIHOST_STOP_REPORT,  // no call: the halt is reported to GDB as usual
    SEMIHOST_STOP_RUNNING, // calls served, the core runs on
    SEMIHOST_STOP_EXITED,  // the exit reply was sent; the core stays halted
};

// For a core that halted while GDB continued.
semihost_stop semihost_on_halt(gdb_session &s, gdb_semihost &h);

// "monitor semihosting enable|disable|args WORDS...": words[0] is
// "semihosting"; the reply text.
std::string semihost_monitor(gdb_semihost &h, const std::vector<std::string> &words);

} // namespace tarvex_gdb
