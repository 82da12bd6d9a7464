#include "cli_status.h"

#include <cstdio>

namespace tarvex_cli
{

namespace
{

struct status_row {
    const char *code;
    const char *meaning;
};

// The man page's EXIT STATUS and the README list these rows in this order
// (tests/package/check_man.sh holds them to it).
constexpr status_row STATUS_ROWS[] = {
    {"0", "done"},
    {"1", "usage mistake, or a local file that cannot be read, written or used as an image"},
    {"2", "server not reachable: not running, not answering, or stopped answering"},
    {"3", "no such probe"},
    {"4", "the probe is busy or could not be opened, or an operation failed"},
    {"5", "no target answers on the probe"},
    {"6", "verify found the target different from the image"},
    {"7", "the image or the erase range does not fit the target's flash and RAM"},
    {"8", "another client held the probe for all of --hold-wait"},
    {"9", "the server refused this client (its access rules)"},
    {"130", "flash, erase, verify: stopped by SIGINT at a page boundary (what is left erased said)"},
    {"143", "flash, erase, verify: stopped by SIGTERM at a page boundary (what is left erased said)"},
    {"0-123", "run IMAGE: the firmware's own exit status"},
    {"124", "run IMAGE: the time-out passed"},
    {"125", "run IMAGE: the run could not be carried out (what 1-9 are to other commands); hold: no hold"},
    {"126", "hold: the command could not be run"},
    {"127", "hold: no such command"},
    {"128", "run IMAGE: the firmware exited with a status outside 0-123 (named on standard error)"},
    {"139", "run IMAGE: the target faulted or locked up"},
};

} // namespace

std::string exit_status_usage()
{
    std::string text = "exit status:\n";
    for (const status_row &row : STATUS_ROWS) {
        char line[160];
        snprintf(line, sizeof(line), "  %-6s %s\n", row.code, row.meaning);
        text += line;
    }
    return text;
}

} // namespace tarvex_cli
