// tarvex-cli run IMAGE: loads a firmware, runs it to its verdict under
// semihosting and ends with the verdict as its exit status, in the
// convention of timeout(1).
#pragma once

#include <string>
#include <vector>

#include "cli_session.h"

namespace tarvex_cli
{

enum run_status : int {
    RUN_STATUS_TIMEOUT = 124,
    RUN_STATUS_NOT_RUN = 125, // the server, the probe, the image or the load
    RUN_STATUS_FAULT = 139,
};

// args: IMAGE, then the firmware's arguments (after "--").
int cmd_run_image(cli_session &s, const std::vector<std::string> &args);

} // namespace tarvex_cli
