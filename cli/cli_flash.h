// The commands that program the target's flash through the flash loader.
#pragma once

#include <string>
#include <vector>

#include "cli_session.h"

namespace tarvex_cli
{

int cmd_flash(cli_session &s, const std::vector<std::string> &args);
int cmd_erase(cli_session &s, const std::vector<std::string> &args);
int cmd_verify(cli_session &s, const std::vector<std::string> &args);
// erase: nothing, or ADDR LEN.
int check_erase(const std::vector<std::string> &args);

} // namespace tarvex_cli
