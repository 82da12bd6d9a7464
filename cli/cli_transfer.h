// The commands that move bulk data: memory read and write, SWO trace.
#pragma once

#include <string>
#include <vector>

#include "cli_session.h"

namespace tarvex_cli
{

// EXIT_USAGE (with a message) unless args[0] is an address and args[1], when
// present, a length that stays inside the 32-bit address space.
int check_range(const std::vector<std::string> &args);

// A whole file (- for standard input): EXIT_DONE, or EXIT_USAGE with a message.
int load_file(const std::string &path, std::vector<uint8_t> *data);

int cmd_read(cli_session &s, const std::vector<std::string> &args);
int cmd_write(cli_session &s, const std::vector<std::string> &args);
int cmd_trace(cli_session &s, const std::vector<std::string> &args);

} // namespace tarvex_cli
