// The packets of GDB's Remote Serial Protocol that tarvex-gdbserver answers,
// in one table: anything else gets the empty reply that tells GDB the
// packet is not supported.
#pragma once

#include <string>

#include "gdb_session.h"

namespace tarvex_gdb
{

enum packet_outcome {
    PACKET_REPLY,   // send *reply
    PACKET_RESUMED, // the core runs: the stop reply comes when it halts
    PACKET_SILENT,  // nothing to send (k)
};

int answer_packet(gdb_session &s, const std::string &body, std::string *reply);

// The XML documents of qXfer: the M-profile target description of that
// core (gdb_registers.h) and the memory map (RAM, read-only flash, and the
// peripheral and system spaces).
std::string target_description(const tarvex_target::core_identity &core);
// flash_xml, when not empty, gives the flash regions (gdb_flash.h).
std::string memory_map(const session_config &config, const std::string &flash_xml = "");

// qRcmd: "monitor" commands, answered with their text output; *failed when
// the command is unknown.
std::string monitor_command(gdb_session &s, const std::string &command);

} // namespace tarvex_gdb
