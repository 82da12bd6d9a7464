// The exit statuses of tarvex-cli: one table for every command, printed by
// --help and listed in the man page and the README, so a CI script can
// tell each failure from the others.
#pragma once

#include <string>

namespace tarvex_cli
{

enum exit_status : int {
    EXIT_DONE = 0,
    EXIT_USAGE = 1,        // a usage mistake, or a local file that cannot be used
    EXIT_NO_SERVER = 2,    // not running, not reachable, or stopped answering
    EXIT_NO_PROBE = 3,     // the selected probe is not attached
    EXIT_FAILED = 4,       // the probe is busy or could not be opened, or an operation failed
    EXIT_NO_TARGET = 5,    // the probe found no target, or the target does not answer
    EXIT_MISMATCH = 6,     // verify: the target differs from the image
    EXIT_DOES_NOT_FIT = 7, // a part of the image (or the erase range) lies outside the flash and RAM
    EXIT_HELD = 8,         // another client held the probe for all of --hold-wait
    EXIT_REFUSED = 9,      // the server's access rules refused this client
};

// run IMAGE speaks in the statuses of timeout(1): the firmware's own are
// 0 to FIRMWARE_STATUS_MAX, and every status of the tool's own lies above.
enum run_status : int {
    FIRMWARE_STATUS_MAX = 123,
    RUN_STATUS_TIMEOUT = 124,
    RUN_STATUS_NOT_RUN = 125,      // what any other command ends with 1 to 9
    RUN_STATUS_OUT_OF_RANGE = 128, // the firmware's status was none of 0 to 123
    RUN_STATUS_FAULT = 139,
};

// The table as --help prints it: "exit status:" and a line per row.
std::string exit_status_usage();

} // namespace tarvex_cli
