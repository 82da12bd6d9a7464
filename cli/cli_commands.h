// The commands of tarvex-cli: name, arguments, what each needs before it
// runs (a server, an opened probe, or a target in debug mode).
#pragma once

#include <string>
#include <vector>

#include "cli_session.h"

namespace tarvex_cli
{

// Every command but NEEDS_SERVER's takes the probe's hold before it runs
// and gives it back after, so that no other client's request lands between
// its steps; NEEDS_SHARED_PROBE gives it back at once and works beside the
// others. NEEDS_TARGET also attaches the target (debug mode, a target that
// answers).
enum command_needs { NEEDS_SERVER, NEEDS_SHARED_PROBE, NEEDS_PROBE, NEEDS_TARGET };

struct cli_command {
    const char *name;
    const char *args; // for the usage text
    const char *summary;
    unsigned min_args;
    unsigned max_args;
    command_needs needs;
    int (*run)(cli_session &s, const std::vector<std::string> &args);
    // Argument checks that need no server, or nullptr.
    int (*check)(const std::vector<std::string> &args);
};

// nullptr for an unknown name.
const cli_command *find_command(const std::string &name);
// One usage line per command.
std::string commands_usage();

} // namespace tarvex_cli
