// tarvex-cli hold: one CI job's commands under one hold of the probe.
#pragma once

#include <string>
#include <vector>

#include "cli_session.h"

namespace tarvex_cli
{

// Takes the probe's hold (waiting up to --wait in the probe's queue), runs
// args as a command with TARVEX_HOLD naming the hold, and gives the hold
// back when the command ends: the command's status, or 125 (126, 127 when
// it cannot be started) when it never ran.
int cmd_hold(cli_session &s, const std::vector<std::string> &args);

} // namespace tarvex_cli
