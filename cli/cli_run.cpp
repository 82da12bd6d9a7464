#include "cli_run.h"

#include <signal.h>
#include <unistd.h>

#include <algorithm>
#include <memory>
#include <cstdio>
#include <cstring>

#include "armv7m_debug.h"
#include "cli_flash.h"
#include "cli_rtt.h"
#include "cli_transfer.h"
#include "image_file.h"
#include "image_symbols.h"
#include "itm_text.h"
#include "semihost_run.h"
#include "target.h"
#include "target_probe.h"

namespace tarvex_cli
{

using namespace armv7m;
namespace tt = tarvex_target;

// The probe captures 4 KiB of trace; one read takes all of it.
constexpr size_t TRACE_DRAIN_MAX = 4096;
// The trace reply does not state its length: its end is a pause. The
// server sends the reply at once, so a short pause costs each read with
// data little and still sees the whole reply.
constexpr int TRACE_QUIET_MS = 1;
// A trace read the probe failed is asked again; what is captured stays in
// the probe until a read delivers it.
constexpr int TRACE_ATTEMPTS = 3;

struct run_job {
    cli_session *s = nullptr;
    std::vector<uint8_t> image;
    std::vector<tarvex_images::image_extent> extents;
    bool is_elf = false;
    bool trace_on = false;
    tt::itm_decoder itm;
    bool trace_failed = false;
    // RTT channel 0 beside the other output, when the image has a control block.
    std::unique_ptr<tt::server_rtt> rtt;
    std::unique_ptr<tt::rtt_reader> rtt_reader;
};

static int not_run(const char *format, const char *what, const std::string &why)
{
    return fail(RUN_STATUS_NOT_RUN, format, what, why.c_str());
}

static int read_image(run_job &job, const std::string &path)
{
    if (load_file(path, &job.image) != EXIT_DONE)
        return RUN_STATUS_NOT_RUN;
    std::string why;
    tarvex_images::image_format format =
        tarvex_images::image_choose_format(path, job.image.data(), job.image.size(), job.s->opt.format);
    job.is_elf = format == tarvex_images::IMAGE_ELF;
    int rc = -1;
    if (format != tarvex_images::IMAGE_BINARY)
        rc = tarvex_images::image_read(format, job.image.data(), job.image.size(), 0, job.extents, &why);
    else
        why = "an ELF or Intel HEX image is needed (a raw binary has no address)";
    if (rc == 0 && job.extents.empty())
        why = "nothing to load", rc = -1;
    return rc == 0 ? EXIT_DONE : not_run("cannot run %s: %s", path.c_str(), why);
}

static int target_step(cli_session &s, int rc, const char *what)
{
    if (rc == tt::TARGET_OK)
        return EXIT_DONE;
    target_status(s, rc, what);
    return RUN_STATUS_NOT_RUN;
}

// A RAM-linked image starts at its ELF entry point; when its lowest part
// is a vector table (its reset vector is the entry, or there is no ELF
// entry to go by) the table and its stack pointer take over from the
// flash's.
static int start_in_ram(cli_session &s, const run_job &job)
{
    const tarvex_images::image_extent &first = job.extents.front();
    uint32_t sp = 0, reset_vector = 0, entry = 0;
    bool table = first.bytes.size() >= 8;
    if (table) {
        memcpy(&sp, first.bytes.data(), 4);
        memcpy(&reset_vector, first.bytes.data() + 4, 4);
    }
    bool has_entry = job.is_elf && tarvex_images::image_entry(job.image.data(), job.image.size(), &entry) == 0;
    table = table && (!has_entry || (reset_vector | 1u) == (entry | 1u));
    if (!table && !has_entry)
        return fail(RUN_STATUS_NOT_RUN, "the image has neither an entry point nor a vector table to start at");
    uint32_t pc = has_entry ? entry : reset_vector;
    int rc = EXIT_DONE;
    if (table)
        rc = target_step(s, s.link.write_debug(VTOR, first.address), "setting the vector table");
    if (rc == EXIT_DONE && table)
        rc = target_step(s, s.link.write_core(REGSEL_SP, sp), "setting SP");
    if (rc == EXIT_DONE)
        rc = target_step(s, s.link.write_core(REGSEL_PC, pc & ~1u), "setting PC");
    if (rc == EXIT_DONE)
        rc = target_step(s, s.link.write_core(REGSEL_XPSR, XPSR_THUMB), "setting xPSR");
    return rc;
}

// Whether [addr, addr + len) meets the flash the loader programs.
static bool meets_flash(const tarvex_flash::flash_setup &setup, uint32_t addr, uint64_t len)
{
    const tarvex_images::flash_device_desc &d = setup.algo.device;
    return addr < uint64_t{d.address} + d.size && addr + len > d.address;
}

static const tarvex_images::image_extent *part_in_flash(const tarvex_flash::flash_setup &setup, const run_job &job)
{
    for (const tarvex_images::image_extent &e : job.extents)
        if (meets_flash(setup, e.address, e.bytes.size()))
            return &e;
    return nullptr;
}

// An ELF entry point inside one of the image's parts outside flash.
static bool entry_in_ram(const tarvex_flash::flash_setup &setup, const run_job &job)
{
    uint32_t entry = 0;
    if (!job.is_elf || tarvex_images::image_entry(job.image.data(), job.image.size(), &entry) != 0)
        return false;
    entry &= ~1u;
    for (const tarvex_images::image_extent &e : job.extents)
        if (entry >= e.address && entry - e.address < e.bytes.size())
            return !meets_flash(setup, entry, 2);
    return false;
}

// Whether every part of the image lies in the target's RAM.
static bool all_in_ram(const tarvex_flash::flash_setup &setup, const run_job &job)
{
    for (const tarvex_images::image_extent &e : job.extents)
        if (e.address < setup.ram_base || e.address - setup.ram_base + e.bytes.size() > setup.ram_size)
            return false;
    return true;
}

// Whether the image runs from RAM: with --ram (refused when a part of it
// lies in flash, which memory writes cannot program), or when it has
// nothing in flash and its entry in RAM. One that lies in RAM alone with
// no entry there is refused: the reset would start the flash's old
// firmware. The loader speaks for parts outside both.
static int choose_ram(cli_session &s, const run_job &job, const tarvex_flash::flash_setup &setup, bool *in_ram)
{
    const tarvex_images::flash_device_desc &d = setup.algo.device;
    const tarvex_images::image_extent *flash_part = part_in_flash(setup, job);
    bool ram_image = flash_part == nullptr && entry_in_ram(setup, job);
    *in_ram = s.opt.ram || ram_image;
    if (s.opt.ram && flash_part != nullptr)
        return fail(RUN_STATUS_NOT_RUN,
                    "--ram loads the image with memory writes, but its part at 0x%08x-0x%08x lies in flash "
                    "(0x%08x-0x%08x): run it without --ram to program the flash",
                    flash_part->address, static_cast<uint32_t>(flash_part->address + flash_part->bytes.size() - 1),
                    d.address, d.address + d.size - 1);
    if (!*in_ram && flash_part == nullptr && all_in_ram(setup, job))
        return fail(RUN_STATUS_NOT_RUN,
                    "the image has nothing in flash (0x%08x-0x%08x) and no entry point in its RAM parts: "
                    "nothing would run",
                    d.address, d.address + d.size - 1);
    return EXIT_DONE;
}

// The flash's extent tells a RAM-linked image from a flash one; with
// --ram and no algorithm for this target the image is taken as it is.
static int plan_load(cli_session &s, const run_job &job, tarvex_flash::flash_setup *setup, bool *in_ram)
{
    std::string why;
    int rc = flash_setup_for(s, setup, &why) == 0 ? choose_ram(s, job, *setup, in_ram) : -1;
    if (rc == EXIT_DONE && !*in_ram)
        warn_setup(*setup);
    if (rc != -1)
        return rc;
    *in_ram = s.opt.ram;
    return s.opt.ram ? EXIT_DONE : fail(RUN_STATUS_NOT_RUN, "%s", why.c_str());
}

static int write_to_ram(cli_session &s, const run_job &job)
{
    for (const tarvex_images::image_extent &e : job.extents) {
        uint32_t len = static_cast<uint32_t>(e.bytes.size());
        if (tt::memory_write(s.link, e.address, e.bytes.data(), len) != tt::TARGET_OK)
            return fail(RUN_STATUS_NOT_RUN,
                        "loading the image: writing its part at 0x%08x-0x%08x failed (result %d): "
                        "is it RAM on this target?",
                        e.address, e.address + len - 1, s.link.last_result());
    }
    return EXIT_DONE;
}

static int load(cli_session &s, const run_job &job)
{
    tarvex_flash::flash_setup setup;
    bool in_ram = false;
    int rc = target_step(s, tt::halt(s.link), "halting the core");
    if (rc == EXIT_DONE)
        rc = plan_load(s, job, &setup, &in_ram);
    if (rc == EXIT_DONE && in_ram)
        rc = target_step(s, tt::reset(s.link, true), "resetting the target");
    if (rc == EXIT_DONE && in_ram)
        rc = write_to_ram(s, job);
    else if (rc == EXIT_DONE && flash_for_run(s, setup, job.extents) != EXIT_DONE)
        rc = RUN_STATUS_NOT_RUN;
    if (rc == EXIT_DONE)
        rc = in_ram ? start_in_ram(s, job) : target_step(s, tt::reset(s.link, true), "resetting the target");
    return rc;
}

static void write_all(int fd, const std::string &text)
{
    for (size_t done = 0; done < text.size();) {
        ssize_t n = write(fd, text.data() + done, text.size() - done);
        if (n <= 0)
            return; // a closed output ends nothing: the firmware's verdict still counts
        done += static_cast<size_t>(n);
    }
}

// A trace read that keeps failing ends the run: the firmware's ITM text
// would be lost from there on, and a verdict without it is no verdict.
static int drain_trace(void *ctx)
{
    run_job &job = *static_cast<run_job *>(ctx);
    if (!job.trace_on || job.trace_failed)
        return job.trace_failed ? tt::TARGET_FAILED : tt::TARGET_OK;
    int rc = tt::TARGET_OK, result = 0;
    std::vector<uint8_t> data;
    for (int i = 0; i < TRACE_ATTEMPTS; i++) {
        rc = tt::trace_take(job.s->link, TRACE_DRAIN_MAX, &data, &result, TRACE_QUIET_MS);
        if (rc != tt::TARGET_FAILED)
            break;
    }
    if (rc != tt::TARGET_OK) {
        job.trace_failed = true;
        bool lost = rc == tt::TARGET_LOST;
        fail(RUN_STATUS_NOT_RUN,
             "the probe's trace could not be read (%s): the firmware's ITM text was lost "
             "from here on, so the run is stopped",
             lost ? "no reply from tarvex-server" : ("result " + std::to_string(result)).c_str());
        return rc;
    }
    std::string text;
    tt::itm_decode(job.itm, data.data(), data.size(), &text);
    write_all(STDOUT_FILENO, text);
    return tt::TARGET_OK;
}

// The server is told where the image's block lies; unless --no-rtt, this
// run wants capture too (the server keeps capturing during the run's hold
// because its holder wants it), from what comes after the load.
static void rtt_begin(run_job &job)
{
    cli_session &s = *job.s;
    tt::rtt_place place;
    if (!job.is_elf || !tt::rtt_place_of_image(job.image.data(), job.image.size(), &place))
        return;
    auto rtt = std::make_unique<tt::server_rtt>(s.link);
    int rc = rtt->start(s.opt.no_rtt ? tarvex_wire::RTT_START_PLACE_ONLY : 0, place);
    if (s.opt.no_rtt)
        return;
    auto reader = std::make_unique<tt::rtt_reader>(*rtt, std::vector<int>{0}, false);
    if (rc == tt::TARGET_OK)
        rc = reader->skip_to_end();
    if (rc != tt::TARGET_OK) {
        fprintf(stderr, "tarvex-cli: the server gives no RTT capture (result %d): channel 0 is not shown\n",
                rtt->result());
        return;
    }
    job.rtt = std::move(rtt);
    job.rtt_reader = std::move(reader);
}

// Channel 0's new bytes to standard output. Only a lost server ends the run:
// a probe gone or a capture refused leaves the firmware's verdict to count.
static int drain_rtt(run_job &job)
{
    if (job.rtt_reader == nullptr)
        return tt::TARGET_OK;
    std::vector<tt::rtt_output> out;
    int rc = job.rtt_reader->step(0, &out);
    for (const tt::rtt_output &o : out) {
        rtt_report_loss(o);
        write_all(STDOUT_FILENO, std::string(o.data.begin(), o.data.end()));
    }
    return rc == tt::TARGET_LOST ? rc : tt::TARGET_OK;
}

// Whatever the firmware wrote before it stopped is captured once the
// server has polled again: that last output too is shown.
static void rtt_end(run_job &job)
{
    if (job.rtt == nullptr)
        return;
    constexpr int SETTLE_MS = 500;
    if (tt::rtt_settle(*job.rtt, SETTLE_MS) == tt::TARGET_OK)
        drain_rtt(job);
    job.rtt->stop();
}

static int drain_all(void *ctx)
{
    int rc = drain_trace(ctx);
    return rc == tt::TARGET_OK ? drain_rtt(*static_cast<run_job *>(ctx)) : rc;
}

static void trace_switch(run_job &job, bool on)
{
    cli_session &s = *job.s;
    bool ok = false;
    if (on)
        ok = tt::trace_start(s.link, s.opt.trace_hz) == tt::TARGET_OK;
    else
        tt::trace_stop(s.link);
    if (on && !ok)
        fprintf(stderr, "tarvex-cli: the probe gives no trace: the image's ITM text is not shown\n");
    job.trace_on = on && ok;
}

static void semihost_log(void *, const char *line)
{
    fprintf(stderr, "tarvex-cli: %s\n", line);
}

static std::string place_of(const run_job &job, uint32_t addr)
{
    tarvex_images::image_place p;
    if (!job.is_elf || tarvex_images::image_place_of(job.image.data(), job.image.size(), addr, &p) != 0)
        return "";
    return "  " + tarvex_images::image_place_text(p);
}

struct fault_bit {
    uint32_t mask;
    const char *word;
};

constexpr fault_bit CFSR_BITS[] = {
    {1u << 0, "IACCVIOL"},     {1u << 1, "DACCVIOL"},    {1u << 3, "MUNSTKERR"},  {1u << 4, "MSTKERR"},
    {1u << 5, "MLSPERR"},      {1u << 7, "MMARVALID"},   {1u << 8, "IBUSERR"},    {1u << 9, "PRECISERR"},
    {1u << 10, "IMPRECISERR"}, {1u << 11, "UNSTKERR"},   {1u << 12, "STKERR"},    {1u << 13, "LSPERR"},
    {1u << 15, "BFARVALID"},   {1u << 16, "UNDEFINSTR"}, {1u << 17, "INVSTATE"},  {1u << 18, "INVPC"},
    {1u << 19, "NOCP"},        {1u << 24, "UNALIGNED"},  {1u << 25, "DIVBYZERO"},
};
constexpr fault_bit HFSR_BITS[] = {{1u << 1, "VECTTBL"}, {1u << 30, "FORCED"}, {1u << 31, "DEBUGEVT"}};

template <size_t N> static std::string words_of(uint32_t value, const fault_bit (&bits)[N])
{
    std::string text;
    for (const fault_bit &b : bits)
        if ((value & b.mask) != 0)
            text += std::string(" ") + b.word;
    return text;
}

// Where the core stacked the frame it took the exception with, read off
// EXC_RETURN in LR: bit 2 the process stack, bit 4 clear the extended frame
// (the FP registers after the basic eight words, which start it either way).
// A handler that has called on since holds no EXC_RETURN in LR: the frame is
// then taken to be at the main stack's top, as it is when a handler halts
// at once, and the report says it assumed so.
struct stacked_at {
    uint32_t sp;
    const char *stack;
    const char *kind;
};

static stacked_at frame_of(uint32_t lr, uint32_t msp, uint32_t psp)
{
    if ((lr & 0xFFFFFF00u) != 0xFFFFFF00u)
        return {msp, "main", "assumed: LR holds no EXC_RETURN"};
    bool process = (lr & 4u) != 0, extended = (lr & 0x10u) == 0;
    return {process ? psp : msp, process ? "process" : "main", extended ? "extended frame" : "basic frame"};
}

// The frame's R0-R3, R12, LR, PC, xPSR: the PC and LR of the code the
// exception interrupted.
static void report_stacked(cli_session &s, const run_job &job, const stacked_at &at)
{
    std::vector<uint8_t> frame;
    if (tt::memory_read(s.link, at.sp, 32, &frame) != tt::TARGET_OK)
        return;
    uint32_t lr = 0, pc = 0;
    memcpy(&lr, frame.data() + 20, 4);
    memcpy(&pc, frame.data() + 24, 4);
    fprintf(stderr, "  stacked on the %s stack at 0x%08x (%s)\n", at.stack, at.sp, at.kind);
    fprintf(stderr, "  stacked pc 0x%08x%s\n  stacked lr 0x%08x%s\n", pc, place_of(job, pc).c_str(), lr,
            place_of(job, lr).c_str());
}

// The configurable fault status (CFSR, HFSR, MMFAR, BFAR) of the cores that
// have it. Armv6-M and Armv8-M Baseline have none: every fault there is a
// HardFault, and the exception number and the stacked frame are all the
// core keeps of it. A core that cannot be identified is read as the others.
struct fault_status {
    const char *none = nullptr; // why there is none, or nullptr
    uint32_t cfsr = 0, hfsr = 0, mmfar = 0, bfar = 0;
};

static int fault_status_read(tt::link &l, fault_status *f)
{
    tt::core_identity id;
    if (tt::identify(l, &id) == tt::TARGET_OK && (id.arch == tt::ARCH_V6M || id.arch == tt::ARCH_V8M_BASELINE)) {
        f->none = id.arch == tt::ARCH_V6M ? "Armv6-M" : "Armv8-M Baseline";
        return tt::TARGET_OK;
    }
    int rc = tt::TARGET_OK;
    for (auto [addr, value] : {std::pair{CFSR, &f->cfsr}, {HFSR, &f->hfsr}, {MMFAR, &f->mmfar}, {BFAR, &f->bfar}})
        if (rc == tt::TARGET_OK)
            rc = l.read_debug(addr, value);
    return rc;
}

static void report_fault_status(const fault_status &f)
{
    if (f.none != nullptr) {
        fprintf(stderr,
                "  no fault status registers (%s): the exception and its stacked frame are all the core keeps\n",
                f.none);
        return;
    }
    fprintf(stderr, "  cfsr 0x%08x%s\n  hfsr 0x%08x%s\n  mmfar 0x%08x  bfar 0x%08x\n", f.cfsr,
            words_of(f.cfsr, CFSR_BITS).c_str(), f.hfsr, words_of(f.hfsr, HFSR_BITS).c_str(), f.mmfar, f.bfar);
}

static int report_fault(cli_session &s, const run_job &job, const tt::run_result &r)
{
    // pc, lr, xpsr, msp, psp
    static const tt::core_register regs[] = {tt::CORE_REGISTERS[15], tt::CORE_REGISTERS[14], tt::CORE_REGISTERS[16],
                                             tt::CORE_REGISTERS[17], tt::CORE_REGISTERS[18]};
    uint32_t v[5] = {};
    fault_status status;
    int rc = tt::registers_read(s.link, regs, 5, v);
    if (rc == tt::TARGET_OK)
        rc = fault_status_read(s.link, &status);
    fprintf(stderr, "tarvex-cli: the firmware %s\n",
            r.end == tt::RUN_LOCKUP ? "faulted: the core locked up" : "stopped on a halt that is no semihosting call");
    if (rc != tt::TARGET_OK)
        return fail(RUN_STATUS_FAULT, "the fault registers could not be read (result %d)", s.link.last_result());
    fprintf(stderr, "  pc   0x%08x%s\n  lr   0x%08x%s\n  xpsr 0x%08x  exception %u\n", v[0],
            place_of(job, v[0]).c_str(), v[1], place_of(job, v[1]).c_str(), v[2], v[2] & 0x1FF);
    report_fault_status(status);
    if ((v[2] & 0x1FF) != 0)
        report_stacked(s, job, frame_of(v[1], v[3], v[4]));
    return RUN_STATUS_FAULT;
}

// The firmware's status passes through when it cannot be mistaken for one
// of the tool's own, which lie above FIRMWARE_STATUS_MAX; the exit status
// would keep only its low byte anyway.
static int firmware_status(const tarvex_semihost::semihost_exit &exit)
{
    if (exit.status >= 0 && exit.status <= FIRMWARE_STATUS_MAX)
        return exit.status;
    fprintf(stderr, "tarvex-cli: the firmware exited with status %d\n", exit.status);
    return RUN_STATUS_OUT_OF_RANGE;
}

// A semihosting call whose memory the link could not move was not served:
// the firmware is not blamed, the run ends with the link's cause.
static int link_failure(cli_session &s)
{
    if (s.link.lost())
        return fail(RUN_STATUS_NOT_RUN, "no reply from tarvex-server during a semihosting call: the run is stopped");
    return fail(RUN_STATUS_NOT_RUN,
                "the link to probe %d failed during a semihosting call (result %d, retried): the call was not "
                "served and the run is stopped",
                s.probe.index, s.link.last_result());
}

static int verdict(cli_session &s, const run_job &job, const tt::run_result &r)
{
    if (job.trace_failed)
        return RUN_STATUS_NOT_RUN; // said when it failed
    switch (r.end) {
    case tt::RUN_EXITED:
        return firmware_status(r.exit);
    case tt::RUN_TIMEOUT:
        fprintf(stderr, "tarvex-cli: time-out after %g s: the core is halted at pc 0x%08x%s\n", s.opt.timeout_s, r.pc,
                place_of(job, r.pc).c_str());
        return RUN_STATUS_TIMEOUT;
    case tt::RUN_LOCKUP:
    case tt::RUN_HALTED:
        return report_fault(s, job, r);
    case tt::RUN_FAILED:
        break;
    }
    target_status(s, r.rc, "running the firmware");
    return RUN_STATUS_NOT_RUN;
}

// argv: the image's path as given, then the firmware's arguments, as a
// host's semihosting gives them.
static int run_loaded(cli_session &s, run_job &job, const std::vector<std::string> &argv)
{
    tarvex_semihost::semihost_session session;
    tarvex_semihost::semihost_session_init(session, tt::semihost_memory_of(s.link), STDIN_FILENO, STDOUT_FILENO,
                                           STDERR_FILENO, argv);
    session.log = semihost_log;
    int rc =
        s.opt.semihost_dir.empty() ? 0 : tarvex_semihost::semihost_session_set_dir(session, s.opt.semihost_dir.c_str());
    if (rc != 0) {
        semihost_session_close(session);
        return fail(RUN_STATUS_NOT_RUN, "--semihosting-dir %s: %s", s.opt.semihost_dir.c_str(), strerror(-rc));
    }
    // Whether an image writes ITM is not to be seen in its bytes (the port's
    // address is an immediate); a trace read with nothing captured is one
    // short round trip.
    trace_switch(job, true);
    tt::run_options opt;
    opt.timeout_s = s.opt.timeout_s;
    opt.drain = drain_all;
    opt.drain_ctx = &job;
    tt::run_result r = tt::semihost_run(s.link, session, opt);
    semihost_session_close(session);
    drain_trace(&job);
    if (!s.link.lost())
        rtt_end(job);
    if (job.trace_on)
        trace_switch(job, false);
    return session.link_failed ? link_failure(s) : verdict(s, job, r);
}

int cmd_run_image(cli_session &s, const std::vector<std::string> &args)
{
    // A reader of the output that goes away must not end the run unreported.
    signal(SIGPIPE, SIG_IGN);
    if (tarvex_semihost::semihost_command_line(args).empty())
        return fail(RUN_STATUS_NOT_RUN, "an argument holds a newline, or both quote characters: the firmware's C "
                                        "library could not read it back");
    run_job job;
    job.s = &s;
    int rc = read_image(job, args[0]);
    if (rc == EXIT_DONE)
        rc = load(s, job);
    if (rc != EXIT_DONE)
        return rc;
    rtt_begin(job);
    return run_loaded(s, job, args);
}

} // namespace tarvex_cli
