#include "options.h"

#include <getopt.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "access.h"
#include "common.h"
#include "listeners.h"
#include "tarvex_log.h"
#include "probe_hold.h"
#include "tarvex_connection.h"

#ifndef TARVEX_RELEASE
#define TARVEX_RELEASE "0.0.0"
#endif
#ifndef TARVEX_BUILD_DESC
#define TARVEX_BUILD_DESC "local"
#endif

static int help_flag;
static int version_flag;
static char version[200];

// Long options without a letter, numbered after the access and listening
// options' codes so that no two options share one.
enum : int {
    OPTION_HOLD_WAIT = OPT_ALLOW_NETWORK + 1,
    OPTION_HOLD_MAX,
};

static const struct option long_options[] = {
    {"help", no_argument, &help_flag, 1},
    {"version", no_argument, &version_flag, 1},
    {"network-enable", no_argument, &network_flag, 1},
    {"debug", optional_argument, nullptr, 'd'},
    {"port", optional_argument, nullptr, 'p'},
    {"auto-kill", optional_argument, nullptr, 'a'},
    {"protocol_familly", optional_argument, nullptr, 'n'},
    {"log_output", required_argument, nullptr, 'l'},
    {"hold-wait", required_argument, nullptr, OPTION_HOLD_WAIT},
    {"hold-max", required_argument, nullptr, OPTION_HOLD_MAX},
    {"listen", required_argument, nullptr, OPT_LISTEN},
    {"unix", required_argument, nullptr, OPT_UNIX},
    {"unix-mode", required_argument, nullptr, OPT_UNIX_MODE},
    {"unix-group", required_argument, nullptr, OPT_UNIX_GROUP},
    {"allow-user", required_argument, nullptr, OPT_ALLOW_USER},
    {"allow-group", required_argument, nullptr, OPT_ALLOW_GROUP},
    {"allow-network", required_argument, nullptr, OPT_ALLOW_NETWORK},
    {nullptr, 0, nullptr, 0},
};

static constexpr const char *help_text[] = {
    "tarvex-server\n",
    "--help       | -h\tdisplay this help\n",
    "--version    | -v\tdisplay TARVEX-TCP version\n",
    "--port       | -p\tset tcp listening port\n",
    "--network    | -n\tset tcp listening address to INADDR_ANY\n",
    "--debug      | -d\tset debug level <0-3>\n",
    "--auto-exit  | -a\texit() when there is no more client\n",
    "--log-output | -l\tredirect log output to file <name>\n",
};

// The build date as YYYY-MM-DD-HH:MM, from the compiler's __DATE__
// ("Mmm dd yyyy") and __TIME__ ("hh:mm:ss").
static void format_build_date(char *out, size_t size)
{
    static constexpr const char months[] = "JanFebMarAprMayJunJulAugSepOctNovDec";
    const char *date = __DATE__;
    const char *time = __TIME__;
    const char month_name[4] = {date[0], date[1], date[2], '\0'};
    const char *found = strstr(months, month_name);
    int month = found != nullptr ? static_cast<int>(found - months) / 3 + 1 : 0;
    int day = atoi(date + 4);
    snprintf(out, size, "%.4s-%02d-%02d-%.5s", date + 7, month, day, time);
}

const char *get_version()
{
    char build_date[32];
    format_build_date(build_date, sizeof(build_date));
    snprintf(version, sizeof(version), "tarvex-server v%s-%s (%s)", TARVEX_RELEASE, TARVEX_BUILD_DESC, build_date);
    LOG_OUTPUT("%s\n", version);
    return version;
}

void print_version()
{
    get_version();
}

static void print_help()
{
    for (const char *line : help_text)
        LOG_OUTPUT("%s", line);
}

// Seconds as the hold options take them: fractions allowed, so that a test
// need not wait whole seconds. False when the text is not a number >= 0.
static bool parse_seconds(const char *text, uint64_t *ms)
{
    char *end = nullptr;
    double seconds = text != nullptr ? strtod(text, &end) : -1;
    if (end == text || (end != nullptr && *end != '\0') || !(seconds >= 0) || seconds > 1e9)
        return false;
    *ms = static_cast<uint64_t>(seconds * 1000 + 0.5);
    return true;
}

static uint64_t hold_wait_option_ms = 30000;
static uint64_t hold_max_option_ms;

static void handle_hold_option(int c)
{
    uint64_t *target = c == OPTION_HOLD_WAIT ? &hold_wait_option_ms : &hold_max_option_ms;
    if (!parse_seconds(optarg, target)) {
        LOG_ERROR("--%s takes a number of seconds, not '%s'", c == OPTION_HOLD_WAIT ? "hold-wait" : "hold-max",
                  optarg != nullptr ? optarg : "");
        exit(-1);
    }
    probe_hold_set_limits(hold_wait_option_ms, hold_max_option_ms);
}

static void handle_option(int c)
{
    switch (c) {
    case 'a':
        LOG_DEBUG("--auto_exit ");
        auto_exit_flag = true;
        break;
    case 'd':
        LOG_DEBUG("***debug_level %s", optarg != nullptr ? optarg : "3");
        debug_level = optarg != nullptr ? static_cast<int>(strtol(optarg, nullptr, 10)) : 3;
        break;
    case 'h':
        help_flag = 1;
        break;
    case 'l':
        LOG_DEBUG("--log-output %s", optarg);
        if (optarg != nullptr) {
            LOG_DEBUG("--log_output %s2", optarg);
            handle_log_output_command(optarg);
        }
        break;
    case 'n':
        network_flag = 1;
        break;
    case 'p':
        LOG_DEBUG("***port %s", optarg != nullptr ? optarg : "7184");
        init_sockinfo(optarg != nullptr ? optarg : "7184");
        break;
    case 'v':
        version_flag = 1;
        break;
    case OPTION_HOLD_WAIT:
    case OPTION_HOLD_MAX:
        handle_hold_option(c);
        break;
    default:
        if (!access_handle_option(c, optarg))
            listeners_handle_option(c, optarg);
        break;
    }
}

int parse_cmdline_args(void *cmd_ctx, int argc, char *argv[])
{
    (void)cmd_ctx;
    for (;;) {
        int option_index = 0;
        int c = getopt_long(argc, argv, "hvd::l:s:c:p:a", long_options, &option_index);
        if (c == -1)
            break;
        LOG_DEBUG("parse_cmdline_args : %d", c);
        handle_option(c);
    }
    if (help_flag) {
        print_help();
        exit(-1);
    }
    if (version_flag) {
        print_version();
        exit(0);
    }
    return 0;
}
