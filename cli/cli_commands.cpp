#include "cli_commands.h"

#include <cstdio>
#include <cstring>

#include "armv7m_debug.h"
#include "cli_flash.h"
#include "cli_format.h"
#include "cli_hold.h"
#include "cli_rtt.h"
#include "cli_run.h"
#include "cli_transfer.h"
#include "target.h"
#include "target_attach.h"
#include "target_probe.h"

namespace tarvex_cli
{

using namespace tarvex_wire;

using args_t = std::vector<std::string>;

static std::string hex(uint32_t value, int width = 0)
{
    char text[16];
    snprintf(text, sizeof(text), "%0*x", width, value);
    return text;
}

static void print_json(const std::string &json)
{
    printf("%s\n", json.c_str());
}

// ---- probes -----------------------------------------------------------------

struct listed_probe {
    tarvex::probe_entry entry;
    int clients = 0;
    tarvex::probe_holder holder; // "list" only
};

static std::string probe_json(const listed_probe &p)
{
    return json_object()
        .add("index", static_cast<long long>(p.entry.index))
        .add("key", hex(p.entry.key))
        .add("serial", p.entry.serial)
        .add("vendor_id", hex(p.entry.vendor_id, 4))
        .add("product_id", hex(p.entry.product_id, 4))
        .add("clients", static_cast<long long>(p.clients))
        .text();
}

// By index: the numbers --probe takes, kept by the server for each probe
// for its whole life.
static int list_probes(cli_session &s, std::vector<listed_probe> *probes)
{
    std::vector<tarvex::probe_entry> entries;
    if (tarvex::list_probes(s.conn, &entries) != 0)
        return lost_server(KW_GET_BY_INDEX);
    for (const tarvex::probe_entry &e : entries) {
        listed_probe p;
        p.entry = e;
        if (tarvex::usb_client_count(s.conn, p.entry.key, &p.clients) != 0)
            return lost_server(KW_GET_NB_USB_CLIENT);
        bool held_found = false; // a server without holds answers the query as unknown
        if (tarvex::probe_holder_of(s.conn, static_cast<uint32_t>(e.index), &p.holder, &held_found) != 0)
            return lost_server(KW_WHO_HOLDS);
        probes->push_back(p);
    }
    return EXIT_DONE;
}

// The probe's record with the holder's name ("" when nobody holds it) and
// how long it has held the probe.
static std::string listed_json(const listed_probe &p)
{
    std::string base = probe_json(p);
    json_object hold;
    hold.add("holder", p.holder.name).add("held_for_s", p.holder.seconds);
    std::string more = hold.text();
    return base.substr(0, base.size() - 1) + ", " + more.substr(1);
}

static std::string holder_column(const tarvex::probe_holder &h)
{
    return h.held ? h.name + " (" + std::to_string(h.seconds) + " s)" : "-";
}

static int cmd_list(cli_session &s, const args_t &)
{
    std::vector<listed_probe> probes;
    int rc = list_probes(s, &probes);
    if (rc != EXIT_DONE)
        return rc;
    if (s.opt.json) {
        std::vector<std::string> items;
        for (const listed_probe &p : probes)
            items.push_back(listed_json(p));
        print_json(json_array(items));
        return EXIT_DONE;
    }
    printf("%-5s  %-8s  %-24s  %-4s  %-4s  %-7s  %s\n", "INDEX", "KEY", "SERIAL", "VID", "PID", "CLIENTS", "HOLDER");
    for (const listed_probe &p : probes)
        printf("%-5d  %-8s  %-24s  %04x  %04x  %-7d  %s\n", p.entry.index, hex(p.entry.key).c_str(),
               p.entry.serial.c_str(), p.entry.vendor_id, p.entry.product_id, p.clients,
               holder_column(p.holder).c_str());
    return EXIT_DONE;
}

static int read_voltage(cli_session &s, double *volts)
{
    return target_status(s, tarvex_target::probe_voltage(s.link, volts), "reading the target voltage");
}

static int cmd_info(cli_session &s, const args_t &)
{
    tarvex::probe_firmware fw;
    int rc = target_status(s, tarvex_target::probe_firmware(s.link, &fw), "reading the probe version");
    double volts = 0;
    int clients = 0;
    if (rc != EXIT_DONE || (rc = read_voltage(s, &volts)) != EXIT_DONE)
        return rc;
    if (tarvex::usb_client_count(s.conn, s.probe.key, &clients) != 0)
        return lost_server(KW_GET_NB_USB_CLIENT);
    listed_probe p{s.probe, clients - 1, {}}; // not counting this client's own association
    if (s.opt.json) {
        std::string base = probe_json(p);
        json_object extra;
        extra.add("generation", fw.generation)
            .add("hw_version", fw.hw)
            .add("jtag_version", fw.jtag)
            .add("vemo_version", fw.vemo);
        extra.add("voltage", volts);
        std::string more = extra.text();
        print_json(base.substr(0, base.size() - 1) + ", " + more.substr(1));
        return EXIT_DONE;
    }
    printf("probe      %d\nserial     %s\nkey        %s\nusb id     %04x:%04x\nclients    %d\n", p.entry.index,
           p.entry.serial.c_str(), hex(p.entry.key).c_str(), p.entry.vendor_id, p.entry.product_id, p.clients);
    printf("generation %s\nfirmware   hardware %lld, debug %lld, single-wire %lld\nvoltage    %.2f V\n",
           fw.generation.c_str(), fw.hw, fw.jtag, fw.vemo, volts);
    return EXIT_DONE;
}

static int cmd_voltage(cli_session &s, const args_t &)
{
    double volts = 0;
    int rc = read_voltage(s, &volts);
    if (rc != EXIT_DONE)
        return rc;
    if (s.opt.json)
        print_json(json_object().add("voltage", volts).text());
    else
        printf("%.2f V\n", volts);
    return EXIT_DONE;
}

static int cmd_version(cli_session &s, const args_t &)
{
    std::string reply;
    if (tarvex::server_version(s.conn, &reply) != 0)
        return lost_server(KW_GET_VERSION);
    printf("%s\ntarvex-cli %s\n", reply.c_str(), TARVEX_CLI_VERSION);
    return EXIT_DONE;
}

static int cmd_refresh(cli_session &s, const args_t &)
{
    int count = 0;
    if (tarvex::usb_refresh(s.conn) != 0 || tarvex::probe_count(s.conn, &count) != 0)
        return lost_server(KW_USB_REFRESH);
    printf("%d probe%s attached\n", count, count == 1 ? "" : "s");
    return EXIT_DONE;
}

// An administrator's way out of a hold whose holder is stopped or stuck
// with its connection open.
static int cmd_release(cli_session &s, const args_t &)
{
    if (!s.opt.force)
        return fail(EXIT_USAGE, "release needs --force: a hold ends with its holder's command; --force ends "
                                "another client's hold (root or the server's group, on its Unix socket)");
    int rc = tarvex_target::attach_find(s.link, s.opt.probe, &s.probe);
    if (rc == tarvex_target::TARGET_LOST)
        return lost_server(KW_GET_DESCRIPTOR);
    if (rc != tarvex_target::TARGET_OK)
        return fail(EXIT_NO_PROBE, "no probe %s (see tarvex-cli list)", s.opt.probe.c_str());
    tarvex::probe_holder holder;
    bool found = false;
    int result = 0;
    if (tarvex::probe_holder_of(s.conn, static_cast<uint32_t>(s.probe.index), &holder, &found) != 0 ||
        tarvex::force_release_probe(s.conn, static_cast<uint32_t>(s.probe.index), &result) != 0)
        return lost_server(KW_FORCE_RELEASE);
    if (result == RESULT_NOT_PERMITTED)
        return fail(EXIT_FAILED,
                    "releasing another client's hold on probe %d needs root or the server's group, "
                    "on the server's Unix socket (--host unix:PATH)",
                    s.probe.index);
    if (result != 0) {
        printf("probe %d is not held\n", s.probe.index);
        return EXIT_DONE;
    }
    printf("released the hold of %s on probe %d (held for %lld s)\n", holder.name.c_str(), s.probe.index,
           holder.seconds);
    return EXIT_DONE;
}

// One text request as typed; prints whatever comes back until the server
// has been quiet for a moment (some replies carry bytes after their line).
static int cmd_raw(cli_session &s, const args_t &args)
{
    std::string request;
    for (const std::string &a : args)
        request += (request.empty() ? "" : " ") + a;
    request += "\n";
    if (s.conn.send_bytes(request.data(), request.size()) != 0)
        return lost_server("the request");
    uint8_t buf[65536];
    long n = s.conn.recv_some(buf, sizeof(buf), 5000);
    if (n <= 0)
        return n == 0 && s.conn.wait_closed(0) ? fail(EXIT_DONE, "the server closed the connection without a reply")
                                               : lost_server("the request");
    do {
        fwrite(buf, 1, static_cast<size_t>(n), stdout);
    } while ((n = s.conn.recv_some(buf, sizeof(buf), 200)) > 0);
    return EXIT_DONE;
}

// ---- target control -----------------------------------------------------------

// The run state, or the status of the failed look.
static int read_state(cli_session &s, tarvex_target::run_state *state)
{
    int rc = tarvex_target::run_state_read(s.link, state);
    if (rc == tarvex_target::TARGET_LOST)
        return lost_server("reading the run state");
    return rc == tarvex_target::TARGET_OK ? EXIT_DONE : fail(EXIT_NO_TARGET, "the target does not report its state");
}

// Prints the run state, with the PC when the core is halted.
static int report_state(cli_session &s)
{
    static const char *const names[] = {"running", "halted", "in reset", "locked up"};
    tarvex_target::run_state state = tarvex_target::STATE_RUNNING;
    uint32_t pc = 0;
    int rc = read_state(s, &state);
    if (rc != EXIT_DONE || state != tarvex_target::STATE_HALTED) {
        if (rc == EXIT_DONE)
            printf("%s\n", names[state]);
        return rc;
    }
    rc = target_status(s, s.link.read_core(armv7m::REGSEL_PC, &pc), "reading a core register");
    if (rc == EXIT_DONE)
        printf("halted at 0x%08x\n", pc);
    return rc;
}

static int then_report(cli_session &s, int rc, const char *what)
{
    rc = target_status(s, rc, what);
    return rc == EXIT_DONE ? report_state(s) : rc;
}

static int cmd_halt(cli_session &s, const args_t &)
{
    return then_report(s, tarvex_target::halt(s.link), "halting the core");
}

static int cmd_run(cli_session &s, const args_t &args)
{
    if (!args.empty())
        return cmd_run_image(s, args);
    return then_report(s, tarvex_target::resume(s.link, false), "resuming the core");
}

static int cmd_step(cli_session &s, const args_t &)
{
    tarvex_target::run_state state = tarvex_target::STATE_RUNNING;
    int rc = read_state(s, &state);
    if (rc != EXIT_DONE)
        return rc;
    if (state != tarvex_target::STATE_HALTED)
        return fail(EXIT_FAILED, "the core is not halted (tarvex-cli halt first)");
    return then_report(s, tarvex_target::step(s.link), "stepping the core");
}

// A halted core stays halted, at the reset vector; a running one runs on.
static int cmd_reset(cli_session &s, const args_t &)
{
    tarvex_target::run_state state = tarvex_target::STATE_RUNNING;
    int rc = read_state(s, &state);
    if (rc != EXIT_DONE)
        return rc;
    rc = tarvex_target::reset(s.link, state == tarvex_target::STATE_HALTED);
    return then_report(s, rc, "resetting the target");
}

// The target layer's registers up to psp, then selector 20 whole as
// "special": CONTROL, FAULTMASK, BASEPRI and PRIMASK from the top byte
// down; then the stack limits where the core has them.
static std::vector<tarvex_target::core_register> listed_registers(const tarvex_target::core_identity &id)
{
    const tarvex_target::core_register *regs = tarvex_target::CORE_REGISTERS;
    std::vector<tarvex_target::core_register> list(regs, regs + tarvex_target::core_register_index("primask"));
    list.push_back({"special", armv7m::REGSEL_SPECIAL, 0, 32});
    for (size_t i = tarvex_target::core_register_index("msplim"); i < tarvex_target::CORE_REGISTER_COUNT; i++)
        if (tarvex_target::core_register_present(id, i))
            list.push_back(regs[i]);
    return list;
}

// One register's row: its value in hex, and for an S register the float
// it holds too.
static void register_row(json_object *json, std::string *table, const char *name, uint32_t value, bool single)
{
    json->add(name, static_cast<long long>(value));
    char line[64];
    int n = snprintf(line, sizeof(line), "%-8s 0x%08x", name, value);
    if (single) {
        float f;
        static_assert(sizeof(f) == sizeof(value), "an S register holds one float");
        memcpy(&f, &value, sizeof(f));
        snprintf(line + n, sizeof(line) - static_cast<size_t>(n), " %g", static_cast<double>(f));
    }
    *table += line;
    *table += "\n";
}

// S0-S31 and FPSCR after the core's registers where the core's FPU is
// there and granted (CPACR): a core without one, or whose firmware has not
// turned it on yet, shows none.
static int fp_rows(cli_session &s, const tarvex_target::core_identity &id, json_object *json, std::string *table)
{
    if (!tarvex_target::fp_registers_present(id))
        return tarvex_target::TARGET_OK;
    uint32_t values[tarvex_target::FP_REGISTER_COUNT];
    int rc = tarvex_target::fp_registers_read(s.link, id, values);
    for (size_t i = 0; rc == tarvex_target::TARGET_OK && i < tarvex_target::FP_REGISTER_COUNT; i++)
        register_row(json, table, tarvex_target::FP_REGISTERS[i].name, values[i],
                     i + 1 < tarvex_target::FP_REGISTER_COUNT);
    return rc;
}

static int cmd_regs(cli_session &s, const args_t &)
{
    tarvex_target::core_identity id;
    int rc = tarvex_target::identify(s.link, &id);
    if (rc != tarvex_target::TARGET_OK)
        return target_status(s, rc, "identifying the core");
    std::vector<tarvex_target::core_register> regs = listed_registers(id);
    std::vector<uint32_t> values(regs.size());
    rc = tarvex_target::registers_read(s.link, regs.data(), regs.size(), values.data());
    if (rc != tarvex_target::TARGET_OK)
        return target_status(s, rc, "reading a core register");
    json_object json;
    std::string table;
    for (size_t i = 0; i < regs.size(); i++)
        register_row(&json, &table, regs[i].name, values[i], false);
    rc = fp_rows(s, id, &json, &table);
    if (rc != tarvex_target::TARGET_OK)
        return target_status(s, rc, "reading a floating-point register");
    if (s.opt.json)
        print_json(json.text());
    else
        fputs(table.c_str(), stdout);
    return EXIT_DONE;
}

// ---- the table ------------------------------------------------------------------

constexpr unsigned MANY = 1000;

static int check_write(const args_t &args)
{
    return check_range({args[0]});
}

const cli_command COMMANDS[] = {
    {"list", "", "the probes attached to the server", 0, 0, NEEDS_SERVER, cmd_list, nullptr},
    {"info", "", "the selected probe: IDs, firmware, clients, target voltage", 0, 0, NEEDS_PROBE, cmd_info, nullptr},
    {"voltage", "", "the target voltage", 0, 0, NEEDS_PROBE, cmd_voltage, nullptr},
    {"version", "", "the server's and this program's versions", 0, 0, NEEDS_SERVER, cmd_version, nullptr},
    {"reset", "", "reset the target", 0, 0, NEEDS_TARGET, cmd_reset, nullptr},
    {"halt", "", "halt the core", 0, 0, NEEDS_TARGET, cmd_halt, nullptr},
    {"run", "[IMAGE [--ram] [--timeout S] [--semihosting-dir DIR] [--no-rtt] [-- ARGS...]]",
     "let the core run; with IMAGE, load and run it to its exit status", 0, MANY, NEEDS_TARGET, cmd_run, nullptr},
    {"step", "", "step one instruction of a halted core", 0, 0, NEEDS_TARGET, cmd_step, nullptr},
    {"regs", "", "the core registers", 0, 0, NEEDS_TARGET, cmd_regs, nullptr},
    {"read", "ADDR LEN [-o FILE]", "target memory: a hex dump on a terminal, raw bytes otherwise", 2, 2, NEEDS_TARGET,
     cmd_read, check_range},
    {"write", "ADDR FILE", "write a file (- for standard input) to target memory", 2, 2, NEEDS_TARGET, cmd_write,
     check_write},
    {"trace", "[--seconds N] [--freq HZ]", "stream SWO trace bytes to standard output", 0, 0, NEEDS_SHARED_PROBE,
     cmd_trace, nullptr},
    {"rtt", "[--channel N]... [--address ADDR | --scan BASE LEN | --elf IMAGE] [--from-start] [--listen PORT]",
     "stream RTT up channels to standard output (or a local TCP port), input to down channel 0", 0, 0,
     NEEDS_SHARED_PROBE, cmd_rtt, nullptr},
    {"flash",
     "FILE [--format elf|hex|bin] [--base ADDR] [--chip-erase] [--no-verify] [--halt] [--algo FLM | --pack PACK "
     "--device NAME]",
     "program an ELF, Intel HEX or raw binary (FILE.bin at --base) image into flash and RAM", 1, 1, NEEDS_TARGET,
     cmd_flash, nullptr},
    {"erase", "[--chip | ADDR LEN]", "erase the flash sectors of a range, or the whole flash", 0, 2, NEEDS_TARGET,
     cmd_erase, check_erase},
    {"verify", "FILE [--format elf|hex|bin] [--base ADDR]", "compare the target's flash and RAM with an image", 1, 1,
     NEEDS_TARGET, cmd_verify, nullptr},
    {"refresh", "", "rescan the USB bus for probes", 0, 0, NEEDS_SERVER, cmd_refresh, nullptr},
    {"release", "--force", "end another client's hold on the probe (administrators)", 0, 0, NEEDS_SERVER, cmd_release,
     nullptr},
    {"raw", "REQUEST...", "send one text request and print the reply", 1, MANY, NEEDS_SERVER, cmd_raw, nullptr},
    {"hold", "[--wait S] -- COMMAND [ARGS...]",
     "run a command under the probe's hold: its tarvex-cli commands share it, nobody else's", 1, MANY, NEEDS_PROBE,
     cmd_hold, nullptr},
};

const cli_command *find_command(const std::string &name)
{
    for (const cli_command &c : COMMANDS)
        if (name == c.name)
            return &c;
    return nullptr;
}

std::string commands_usage()
{
    std::string text;
    for (const cli_command &c : COMMANDS) {
        char line[256];
        snprintf(line, sizeof(line), "  %-8s %-26s %s\n", c.name, c.args, c.summary);
        text += line;
    }
    return text;
}

} // namespace tarvex_cli
