// RTT in a GDB session: "monitor rtt start|stop|status", and while the core
// runs under GDB, the new bytes of up channel 0 on GDB's console. The
// session's want of capture is its own: it ends with "monitor rtt stop" or
// the session's connection, and other readers' capture goes on.
#pragma once

#include <memory>
#include <string>
#include <vector>

#include "target_rtt.h"

namespace tarvex_gdb
{

class gdb_session;

struct gdb_rtt {
    explicit gdb_rtt(tarvex_target::server_link &l) : access(l) {}
    tarvex_target::server_rtt access;
    std::unique_ptr<tarvex_target::rtt_reader> reader; // set while this session wants capture
};

// words[0] is "rtt"; the reply text.
std::string rtt_monitor(gdb_session &s, gdb_rtt &r, const std::vector<std::string> &words);
// While the core runs: channel 0's new bytes as console output.
void rtt_forward(gdb_session &s, gdb_rtt &r);
// The session ends: its want of capture with it.
void rtt_release(gdb_rtt &r);
// The status as the monitor shows it.
std::string rtt_status_text(const tarvex::rtt_status_record &st);

} // namespace tarvex_gdb
