#include "options.h"

#include <getopt.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "access.h"
#include "common.h"
#include "http_side.h"
#include "idle_clients.h"
#include "listeners.h"
#include "tarvex_log.h"
#include "probe_hold.h"
#include "result_codes.h"
#include "rtt_capture.h"
#include "tarvex_connection.h"
#include "tarvex_wire.h"

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
    OPTION_IDLE_MAX,
    OPTION_IDLE_TIMEOUT,
    OPTION_RTT_POLL_MAX,
    OPTION_RTT_RING,
    OPTION_HTTP,
    OPTION_BUSY_LIMIT,
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
    {"idle-max", required_argument, nullptr, OPTION_IDLE_MAX},
    {"idle-timeout", required_argument, nullptr, OPTION_IDLE_TIMEOUT},
    {"rtt-poll-max-ms", required_argument, nullptr, OPTION_RTT_POLL_MAX},
    {"rtt-ring-kib", required_argument, nullptr, OPTION_RTT_RING},
    {"http", required_argument, nullptr, OPTION_HTTP},
    {"busy-limit", required_argument, nullptr, OPTION_BUSY_LIMIT},
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
    return version;
}

const char *print_version()
{
    const char *text = get_version();
    LOG_OUTPUT("%s\n", text);
    return text;
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
        exit(TARVEX_EXIT_USAGE);
    }
    probe_hold_set_limits(hold_wait_option_ms, hold_max_option_ms);
}

// The words of the access and listening options. The standard parser
// reports a long option it does not know and goes on, and reads
// "-allow-group" as "-a -l low-group": a misspelt --allow-group would start
// a server open to everyone. An option spelt with one of these words that
// names no option, or names several, stops the start instead.
static constexpr const char *guarded_words[] = {"allow", "unix", "network"};
constexpr const char short_options[] = "hvd::l:s:c:p:a";

static char misspelt[256]; // why the start must not go on; empty when nothing was found

static bool guarded(const char *name)
{
    for (const char *word : guarded_words)
        if (strncmp(name, word, strlen(word)) == 0)
            return true;
    return false;
}

// The entry a long option's name (its first len characters) selects as the
// standard parser does: an exact name, else the one entry it abbreviates.
// Null when it names none or several; the candidates then go into `names`.
static const struct option *resolve_long(const char *name, size_t len, char *names, size_t size)
{
    const struct option *found = nullptr;
    int matches = 0;
    names[0] = '\0';
    for (const struct option *o = long_options; o->name != nullptr; o++) {
        if (strncmp(o->name, name, len) != 0)
            continue;
        if (strlen(o->name) == len)
            return o;
        size_t used = strlen(names);
        snprintf(names + used, size - used, "%s--%s", matches > 0 ? ", " : "", o->name);
        found = o;
        matches++;
    }
    return matches == 1 ? found : nullptr;
}

// A long option (after its two dashes) and the word after it; how many words
// it takes. A guarded one that names no option, several, or has a value it
// does not take, or lacks the one it takes, is recorded in `misspelt`.
static int check_long(const char *name, const char *next)
{
    const char *equals = strchr(name, '=');
    size_t len = equals != nullptr ? static_cast<size_t>(equals - name) : strlen(name);
    char names[160];
    const struct option *o = resolve_long(name, len, names, sizeof(names));
    bool check = guarded(name) && misspelt[0] == '\0';
    if (o == nullptr) {
        if (check && names[0] != '\0')
            snprintf(misspelt, sizeof(misspelt), "--%.*s is ambiguous: %s", static_cast<int>(len), name, names);
        else if (check)
            snprintf(misspelt, sizeof(misspelt),
                     "--%.*s is not an option of tarvex-server (see --help and man "
                     "tarvex-server)",
                     static_cast<int>(len), name);
        return 1;
    }
    if (equals != nullptr || o->has_arg != required_argument) {
        if (check && equals != nullptr && o->has_arg == no_argument)
            snprintf(misspelt, sizeof(misspelt), "--%s takes no value", o->name);
        return 1;
    }
    if (next == nullptr && check)
        snprintf(misspelt, sizeof(misspelt), "--%s needs a value", o->name);
    return next != nullptr ? 2 : 1;
}

// A cluster of short options after its dash; how many words it takes (an
// option letter that needs a value takes the rest, or else the next word).
static int check_short(const char *letters, const char *next)
{
    if (guarded(letters) && misspelt[0] == '\0')
        snprintf(misspelt, sizeof(misspelt),
                 "-%s has one dash and would be read as short options; the long "
                 "option is written --%s",
                 letters, letters);
    for (const char *c = letters; *c != '\0'; c++) {
        const char *letter = strchr(short_options, *c);
        if (letter == nullptr || letter[1] != ':')
            continue;
        if (letter[2] == ':' || c[1] != '\0')
            return 1;
        return next != nullptr ? 2 : 1;
    }
    return 1;
}

// Walks the command line as the standard parser will read it, before it does.
static void check_spelling(int argc, char *argv[])
{
    for (int i = 1; i < argc;) {
        const char *arg = argv[i];
        const char *next = i + 1 < argc ? argv[i + 1] : nullptr;
        if (strcmp(arg, "--") == 0)
            return;
        if (arg[0] != '-' || arg[1] == '\0')
            i++;
        else if (arg[1] == '-')
            i += check_long(arg + 2, next);
        else
            i += check_short(arg + 1, next);
    }
}

static unsigned idle_max_option = TARVEX_IDLE_MAX_DEFAULT;
static uint64_t idle_timeout_option_ms = TARVEX_IDLE_TIMEOUT_DEFAULT_MS;

static void handle_idle_option(int c)
{
    char *end = nullptr;
    unsigned long count = c == OPTION_IDLE_MAX && optarg != nullptr ? strtoul(optarg, &end, 10) : 0;
    bool good = c == OPTION_IDLE_MAX
                    ? end != optarg && *optarg >= '0' && *optarg <= '9' && *end == '\0' && count <= 1000000
                    : parse_seconds(optarg, &idle_timeout_option_ms);
    if (!good) {
        LOG_ERROR("--%s takes %s, not '%s'", c == OPTION_IDLE_MAX ? "idle-max" : "idle-timeout",
                  c == OPTION_IDLE_MAX ? "a count of connections" : "a number of seconds",
                  optarg != nullptr ? optarg : "");
        exit(TARVEX_EXIT_USAGE);
    }
    if (c == OPTION_IDLE_MAX)
        idle_max_option = static_cast<unsigned>(count);
    idle_set_limits(idle_max_option, idle_timeout_option_ms);
}

static uint64_t rtt_poll_max_option_ms = RTT_POLL_MAX_DEFAULT_MS;
static uint32_t rtt_ring_option_kib = RTT_RING_KIB_DEFAULT;

// Whole numbers in a range: a poll pause of 1 ms to a minute, rings of 1 KiB
// to 16 MiB.
static void handle_rtt_option(int c)
{
    bool poll = c == OPTION_RTT_POLL_MAX;
    unsigned long most = poll ? 60000 : 16384;
    char *end = nullptr;
    unsigned long value = optarg != nullptr ? strtoul(optarg, &end, 10) : 0;
    if (optarg == nullptr || end == optarg || *end != '\0' || *optarg < '0' || *optarg > '9' || value < 1 ||
        value > most) {
        LOG_ERROR("--%s takes a whole number from 1 to %lu, not '%s'", poll ? "rtt-poll-max-ms" : "rtt-ring-kib", most,
                  optarg != nullptr ? optarg : "");
        exit(TARVEX_EXIT_USAGE);
    }
    if (poll)
        rtt_poll_max_option_ms = value;
    else
        rtt_ring_option_kib = static_cast<uint32_t>(value);
    rtt_capture_set_limits(rtt_poll_max_option_ms, rtt_ring_option_kib);
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
        LOG_DEBUG("***port %s", optarg != nullptr ? optarg : tarvex_wire::DEFAULT_PORT_TEXT);
        init_sockinfo(optarg != nullptr ? optarg : tarvex_wire::DEFAULT_PORT_TEXT);
        break;
    case 'v':
        version_flag = 1;
        break;
    case OPTION_HOLD_WAIT:
    case OPTION_HOLD_MAX:
        handle_hold_option(c);
        break;
    case OPTION_IDLE_MAX:
    case OPTION_IDLE_TIMEOUT:
        handle_idle_option(c);
        break;
    case OPTION_RTT_POLL_MAX:
    case OPTION_RTT_RING:
        handle_rtt_option(c);
        break;
    case OPTION_HTTP:
        if (optarg == nullptr || !http_side_set_address(optarg))
            exit(TARVEX_EXIT_USAGE);
        break;
    case OPTION_BUSY_LIMIT:
        if (optarg == nullptr || !http_side_set_busy_limit(optarg))
            exit(TARVEX_EXIT_USAGE);
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
    // Before any option takes effect: a misspelt one may itself name a log
    // file ("-allow-group" reads as -a -l low-group).
    check_spelling(argc, argv);
    if (misspelt[0] != '\0') {
        LOG_ERROR("%s: the server does not start", misspelt);
        exit(TARVEX_EXIT_BAD_ACCESS);
    }
    for (;;) {
        int option_index = 0;
        int c = getopt_long(argc, argv, short_options, long_options, &option_index);
        if (c == -1)
            break;
        LOG_DEBUG("parse_cmdline_args : %d", c);
        handle_option(c);
    }
    if (help_flag) {
        print_help();
        exit(TARVEX_EXIT_USAGE);
    }
    if (version_flag) {
        print_version();
        exit(TARVEX_EXIT_DONE);
    }
    return 0;
}
