// tarvex-cli run IMAGE: loads a firmware, runs it to its verdict under
// semihosting and ends with the verdict as its exit status, in the
// convention of timeout(1).
#pragma once

#include <string>
#include <vector>

#include "cli_session.h"

namespace tarvex_cli
{

// args: IMAGE, then the firmware's arguments (after "--").
int cmd_run_image(cli_session &s, const std::vector<std::string> &args);

} // namespace tarvex_cli
