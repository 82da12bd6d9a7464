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

using namespace tarvex_cli;

static void usage(FILE *out)
{
    fprintf(out,
            "usage: tarvex-cli [--host H] [--port P] [--probe INDEX|SERIAL] [--json] COMMAND [ARGS]\n"
            "commands:\n%s"
            "exit status: 0 done, 1 usage or local file error, 2 server not reachable, 3 no such probe,\n"
            "             4 probe could not be opened or an operation failed, 5 target not responding,\n"
            "             6 verify found the target different from the image;\n"
            "             run IMAGE: the firmware's own status, 124 time-out, 125 could not run, 139 fault\n",
            commands_usage().c_str());
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
    else if (name == "--hold-wait")
        rc = seconds_option("--hold-wait", value, &p.opt.hold_wait_s);
    else if (name == "--semihosting-dir")
        p.opt.semihost_dir = value;
    return rc;
}

static bool takes_value(const std::string &arg)
{
    static const char *const names[] = {
        "--host", "--port",    "--probe",           "-o",          "--output", "--seconds",
        "--freq", "--timeout", "--semihosting-dir", "--hold-wait", "--base",   "--algo",
        "--pack", "--device"};
    for (const char *n : names)
        if (arg == n)
            return true;
    return false;
}

// TARVEX_HOST and TARVEX_PORT give the defaults, so a CI job sets them once.
static int environment_defaults(cli_options &opt)
{
    if (tarvex::server_from_environment(&opt.server) != 0)
        return fail(EXIT_USAGE, "TARVEX_PORT needs a number up to 65535");
    return EXIT_DONE;
}

// Options may stand anywhere; "--" ends them (for raw requests that look
// like options).
static int parse_args(int argc, char **argv, parsed_args &p)
{
    int rc = environment_defaults(p.opt);
    bool options = true;
    for (int i = 1; i < argc && rc == EXIT_DONE; i++) {
        std::string arg = argv[i];
        if (!options || arg.size() < 2 || arg[0] != '-')
            p.words.push_back(arg);
        else if (arg == "--") {
            options = false;
            p.opt.dashes_at = p.words.size();
        } else if (arg == "--json")
            p.opt.json = true;
        else if (arg == "--ram")
            p.opt.ram = true;
        else if (arg == "--chip-erase" || arg == "--chip")
            p.opt.chip_erase = true;
        else if (arg == "--no-verify")
            p.opt.no_verify = true;
        else if (arg == "--halt")
            p.opt.halt_after = true;
        else if (arg == "--force")
            p.opt.force = true;
        else if (arg == "-h" || arg == "--help")
            p.help = true;
        else if (takes_value(arg))
            rc = value_option(p, arg, argc, argv, &i);
        else
            rc = fail(EXIT_USAGE, "unknown option %s (see tarvex-cli --help)", arg.c_str());
    }
    return rc;
}

// run IMAGE holds the probe before it touches the target, and any failure
// before the firmware runs is 125.
static int run(const cli_command &command, cli_session &s, const std::vector<std::string> &args, bool run_image)
{
    int rc = session_connect(s);
    if (rc == EXIT_DONE && command.needs != NEEDS_SERVER)
        rc = session_open_probe(s);
    bool hold = command.needs == NEEDS_HELD_TARGET || run_image;
    if (rc == EXIT_DONE && hold)
        rc = session_hold(s);
    if (rc == EXIT_DONE && (command.needs == NEEDS_TARGET || hold))
        rc = session_attach_target(s);
    if (rc != EXIT_DONE && run_image)
        rc = RUN_STATUS_NOT_RUN;
    else if (rc == EXIT_DONE)
        rc = command.run(s, args);
    if (hold)
        session_release(s);
    session_close(s);
    return rc;
}

// run IMAGE speaks in the statuses of timeout(1): whatever keeps the
// firmware from running is 125, so that 1 is always the firmware's own.
static bool runs_image(const parsed_args &p)
{
    return p.words.size() >= 2 && p.words[0] == "run";
}

// The firmware's arguments follow "--", which stands right after IMAGE.
static int check_run_words(const parsed_args &p)
{
    size_t end = p.opt.dashes_at == SIZE_MAX ? p.words.size() : p.opt.dashes_at;
    if (end != 2)
        return fail(EXIT_USAGE,
                    "usage: tarvex-cli run IMAGE [--ram] [--timeout S] [--semihosting-dir DIR] [-- ARGS...]");
    return EXIT_DONE;
}

static int run_image_status(const parsed_args &p, int rc)
{
    return runs_image(p) && rc != EXIT_DONE ? RUN_STATUS_NOT_RUN : rc;
}

int main(int argc, char **argv)
{
    parsed_args p;
    int rc = parse_args(argc, argv, p);
    if (rc == EXIT_DONE && runs_image(p))
        rc = check_run_words(p);
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
    return run(*command, s, args, runs_image(p));
}
