// tarvex-cli: lists, inspects and drives the probes a tarvex-server shares,
// from a shell or a CI job. Exit statuses tell scripts what failed.
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

#include "cli_commands.h"
#include "cli_format.h"
#include "cli_run.h"
#include "cli_session.h"
#include "cli_status.h"

using namespace tarvex_cli;

static void usage(FILE *out)
{
    fprintf(out,
            "usage: tarvex-cli [--host H] [--port P] [--probe INDEX|SERIAL] [--json] COMMAND [ARGS]\n"
            "commands:\n%s%s",
            commands_usage().c_str(), exit_status_usage().c_str());
}

struct parsed_args {
    cli_options opt;
    std::vector<std::string> words; // the command, then its arguments
    bool help = false;
};

static int number_option(const char *name, const char *text, uint64_t max, uint64_t *value)
{
    if (text == nullptr || !tarvex::parse_number(text, max, value))
        return fail(EXIT_USAGE, "%s needs a number up to %llu", name, static_cast<unsigned long long>(max));
    return EXIT_DONE;
}

// Seconds with a fraction, more than 0 and at most a year.
static int seconds_option(const char *name, const char *text, double *seconds)
{
    char *end = nullptr;
    double v = strtod(text, &end);
    if (end == text || *end != '\0' || !(v > 0 && v <= 86400.0 * 365))
        return fail(EXIT_USAGE, "%s needs a number of seconds above 0", name);
    *seconds = v;
    return EXIT_DONE;
}

static int format_option(const std::string &text, tarvex_images::image_format *format)
{
    static const tarvex_images::image_format forms[] = {tarvex_images::IMAGE_ELF, tarvex_images::IMAGE_HEX,
                                                        tarvex_images::IMAGE_BINARY};
    static const char *const names[] = {"elf", "hex", "bin"};
    for (size_t i = 0; i < 3; i++)
        if (text == names[i]) {
            *format = forms[i];
            return EXIT_DONE;
        }
    return fail(EXIT_USAGE, "--format needs elf, hex or bin, not %s", text.c_str());
}

// Options that take a value; i is left on the value.
static int value_option(parsed_args &p, const std::string &name, int argc, char **argv, int *i)
{
    const char *value = *i + 1 < argc ? argv[++*i] : nullptr;
    uint64_t n = 0;
    int rc = EXIT_DONE;
    if (value == nullptr)
        return fail(EXIT_USAGE, "%s needs a value", name.c_str());
    if (name == "--host")
        p.opt.server.host = value;
    else if (name == "--probe")
        p.opt.probe = value;
    else if (name == "-o" || name == "--output")
        p.opt.output = value;
    else if (name == "--base")
        p.opt.base = value;
    else if (name == "--format")
        rc = format_option(value, &p.opt.format);
    else if (name == "--algo")
        p.opt.algo = value;
    else if (name == "--pack")
        p.opt.pack = value;
    else if (name == "--device")
        p.opt.device = value;
    else if (name == "--port" && !tarvex::parse_port(value, &p.opt.server.port))
        rc = fail(EXIT_USAGE, "--port needs a number up to 65535");
    else if (name == "--seconds" && (rc = number_option("--seconds", value, 86400 * 365, &n)) == EXIT_DONE)
        p.opt.seconds = static_cast<double>(n);
    else if (name == "--freq" && (rc = number_option("--freq", value, 2000000, &n)) == EXIT_DONE)
        p.opt.trace_hz = static_cast<uint32_t>(n);
    else if (name == "--timeout")
        rc = seconds_option("--timeout", value, &p.opt.timeout_s);
    else if (name == "--hold-wait" || name == "--wait")
        rc = seconds_option(name.c_str(), value, &p.opt.hold_wait_s);
    else if (name == "--semihosting-dir")
        p.opt.semihost_dir = value;
    else if (name == "--channel")
        p.opt.rtt_channels.push_back(value);
    else if (name == "--address")
        p.opt.rtt_address = value;
    else if (name == "--elf")
        p.opt.rtt_elf = value;
    else if (name == "--listen")
        p.opt.rtt_listen = value;
    return rc;
}

static bool takes_value(const std::string &arg)
{
    static const char *const names[] = {
        "--host", "--port",    "--probe",           "-o",          "--output",  "--seconds",
        "--freq", "--timeout", "--semihosting-dir", "--hold-wait", "--base",    "--algo",
        "--pack", "--device",  "--format",          "--wait",      "--channel", "--address",
        "--elf",  "--listen"};
    for (const char *n : names)
        if (arg == n)
            return true;
    return false;
}

// The values an option takes: --scan BASE LEN takes two.
static int value_count(const std::string &arg)
{
    return arg == "--scan" ? 2 : takes_value(arg) ? 1 : 0;
}

static int scan_option(parsed_args &p, int argc, char **argv, int *i)
{
    if (*i + 2 >= argc)
        return fail(EXIT_USAGE, "--scan needs BASE and LEN");
    p.opt.rtt_scan = {argv[*i + 1], argv[*i + 2]};
    *i += 2;
    return EXIT_DONE;
}

// TARVEX_HOST and TARVEX_PORT give the defaults, so a CI job sets them once;
// under `tarvex-cli hold`, TARVEX_HOLD names the held probe.
static int environment_defaults(cli_options &opt)
{
    if (tarvex::server_from_environment(&opt.server) != 0)
        return fail(EXIT_USAGE, "TARVEX_PORT needs a number up to 65535");
    int held = tarvex::hold_from_environment(&opt.ticket);
    if (held < 0)
        return fail(EXIT_USAGE, "%s is not SERIAL:TOKEN as tarvex-cli hold sets it", tarvex::HOLD_VARIABLE);
    if (held > 0)
        opt.probe = opt.ticket.serial;
    return EXIT_DONE;
}

// One option at argv[*i] (i left on its value, if it takes one).
static int parse_option(parsed_args &p, const std::string &arg, int argc, char **argv, int *i)
{
    struct flag {
        const char *name;
        bool cli_options::*field;
    };
    static constexpr flag flags[] = {
        {"--json", &cli_options::json},
        {"--ram", &cli_options::ram},
        {"--chip-erase", &cli_options::chip_erase},
        {"--chip", &cli_options::chip_erase},
        {"--no-verify", &cli_options::no_verify},
        {"--halt", &cli_options::halt_after},
        {"--force", &cli_options::force},
        {"--from-start", &cli_options::rtt_from_start},
        {"--no-rtt", &cli_options::no_rtt},
    };
    for (const flag &f : flags)
        if (arg == f.name) {
            p.opt.*f.field = true;
            return EXIT_DONE;
        }
    if (arg == "-h" || arg == "--help")
        p.help = true;
    else if (arg == "--scan")
        return scan_option(p, argc, argv, i);
    else if (takes_value(arg))
        return value_option(p, arg, argc, argv, i);
    else
        return fail(EXIT_USAGE, "unknown option %s (see tarvex-cli --help)", arg.c_str());
    return EXIT_DONE;
}

// Options may stand anywhere; "--" ends them (for raw requests that look
// like options). After a mistake the words are still gathered: whether
// they are run IMAGE decides its status, wherever the mistake stood.
static int parse_args(int argc, char **argv, parsed_args &p)
{
    int rc = environment_defaults(p.opt);
    bool options = true;
    for (int i = 1; i < argc; i++) {
        std::string arg = argv[i];
        if (!options || arg.size() < 2 || arg[0] != '-') {
            p.words.push_back(arg);
        } else if (arg == "--") {
            options = false;
            p.opt.dashes_at = p.words.size();
        } else if (rc != EXIT_DONE) {
            i += value_count(arg);
        } else {
            rc = parse_option(p, arg, argc, argv, &i);
        }
    }
    return rc;
}

// Every command that reaches a probe takes its hold first: behind another
// client's job it waits up to --hold-wait, saying who holds the probe,
// where its requests would otherwise wait on the server unseen. trace gives
// the hold back before it streams beside the other clients. Any failure
// before run IMAGE's firmware runs is 125; so is any failure of hold before
// its command runs (own_status).
static int run(const cli_command &command, cli_session &s, const std::vector<std::string> &args, bool run_image,
               bool own_status)
{
    bool probe = command.needs != NEEDS_SERVER;
    int rc = session_connect(s);
    if (rc == EXIT_DONE && probe)
        rc = session_open_probe(s);
    if (rc == EXIT_DONE && probe)
        rc = session_hold(s);
    bool held = rc == EXIT_DONE && probe;
    if (held && command.needs == NEEDS_SHARED_PROBE) {
        session_release(s);
        held = false;
    }
    if (rc == EXIT_DONE && command.needs == NEEDS_TARGET)
        rc = session_attach_target(s);
    if (rc != EXIT_DONE && (run_image || own_status))
        rc = RUN_STATUS_NOT_RUN;
    else if (rc == EXIT_DONE)
        rc = command.run(s, args);
    if (held)
        session_release(s);
    session_close(s);
    return rc;
}

// run IMAGE speaks in the statuses of timeout(1): whatever keeps the
// firmware from running is 125, so that 1 to 9 are always the firmware's own.
static bool runs_image(const parsed_args &p)
{
    return p.words.size() >= 2 && p.words[0] == "run";
}

// The firmware's arguments follow "--", which stands right after IMAGE.
static int check_run_words(const parsed_args &p)
{
    size_t end = p.opt.dashes_at == SIZE_MAX ? p.words.size() : p.opt.dashes_at;
    if (end != 2)
        return fail(
            EXIT_USAGE,
            "usage: tarvex-cli run IMAGE [--ram] [--timeout S] [--semihosting-dir DIR] [--no-rtt] [-- ARGS...]");
    return EXIT_DONE;
}

// hold speaks in the same statuses: all but 125 (and 126, 127 when the
// command cannot be started) are the command's.
static bool runs_command(const parsed_args &p)
{
    return !p.words.empty() && p.words[0] == "hold";
}

// The command follows "--", which stands right after hold.
static int check_hold_words(const parsed_args &p)
{
    if (p.opt.dashes_at != 1 || p.words.size() < 2)
        return fail(EXIT_USAGE, "usage: tarvex-cli hold [--wait S] -- COMMAND [ARGS...]");
    return EXIT_DONE;
}

static int run_image_status(const parsed_args &p, int rc)
{
    return (runs_image(p) || runs_command(p)) && rc != EXIT_DONE ? RUN_STATUS_NOT_RUN : rc;
}

int main(int argc, char **argv)
{
    parsed_args p;
    int rc = parse_args(argc, argv, p);
    if (rc == EXIT_DONE && runs_image(p))
        rc = check_run_words(p);
    if (rc == EXIT_DONE && runs_command(p))
        rc = check_hold_words(p);
    if (rc != EXIT_DONE)
        return run_image_status(p, rc);
    if (p.help || p.words.empty()) {
        usage(p.help ? stdout : stderr);
        return p.help ? EXIT_DONE : EXIT_USAGE;
    }
    const cli_command *command = find_command(p.words[0]);
    std::vector<std::string> args(p.words.begin() + 1, p.words.end());
    if (command == nullptr)
        return fail(EXIT_USAGE, "unknown command %s (see tarvex-cli --help)", p.words[0].c_str());
    if (args.size() < command->min_args || args.size() > command->max_args)
        return fail(EXIT_USAGE, "usage: tarvex-cli %s %s", command->name, command->args);
    if (command->check != nullptr && (rc = command->check(args)) != EXIT_DONE)
        return run_image_status(p, rc);
    cli_session s;
    s.opt = p.opt;
    return run(*command, s, args, runs_image(p), runs_command(p));
}
