#include "semihost_run.h"

#include <unistd.h>

#include <algorithm>
#include <vector>

#include "armv7m_debug.h"
#include "target.h"
#include "tarvex_client.h"

namespace tarvex_target
{

using namespace armv7m;

// Between polls of a running core the pause doubles up to a bound: a call
// made right after a resume is seen at the first poll, while a core that
// runs for long costs the probe one request per POLL_MAX_US.
constexpr useconds_t POLL_FIRST_US = 100;
constexpr useconds_t POLL_MAX_US = 10000;
// A firmware calls from a few places (usually one function): the run
// remembers where, and reads the instruction there only the first time.
// A core halted with its PC on a BKPT 0xAB is about to make that call,
// whatever halted it; only code that rewrites itself could change the
// instruction under a known site.
constexpr size_t CALL_SITES = 32;
// The run's requests change nothing when made twice (reads, and writes of
// a value already meant), so one the probe failed is made again: one glitch
// on the link (a short reply, a time-out) must not end a run. A request
// with no reply is not: the connection may be out of step with its replies.
constexpr int LINK_ATTEMPTS = 3;

template <typename request> static int again(request ask)
{
    int rc = ask();
    for (int i = 1; i < LINK_ATTEMPTS && rc == TARGET_FAILED; i++)
        rc = ask();
    return rc;
}

// A memory access of the firmware's that kept failing: its address is at
// fault when the link still answers otherwise, else the link.
static int memory_verdict(link &l, int rc)
{
    uint32_t dhcsr = 0;
    if (rc == TARGET_FAILED && again([&] { return l.read_debug(DHCSR, &dhcsr); }) == TARGET_OK)
        return -1;
    return tarvex_semihost::SEMIHOST_LINK_FAILED;
}

static int link_read(void *ctx, uint32_t addr, uint8_t *data, uint32_t len)
{
    link &l = *static_cast<link *>(ctx);
    std::vector<uint8_t> bytes;
    int rc = again([&] { return memory_read(l, addr, len, &bytes); });
    if (rc != TARGET_OK)
        return memory_verdict(l, rc);
    std::copy(bytes.begin(), bytes.end(), data);
    return 0;
}

static int link_write(void *ctx, uint32_t addr, const uint8_t *data, uint32_t len)
{
    link &l = *static_cast<link *>(ctx);
    int rc = again([&] { return memory_write(l, addr, data, len); });
    return rc == TARGET_OK ? 0 : memory_verdict(l, rc);
}

tarvex_semihost::semihost_memory semihost_memory_of(link &l)
{
    tarvex_semihost::semihost_memory m;
    m.ctx = &l;
    m.read = link_read;
    m.write = link_write;
    return m;
}

// sites: the PCs where a call was seen in this run, whose instruction is
// taken as read (null: always read).
static int serve(link &l, tarvex_semihost::semihost_session &s, std::vector<uint32_t> *sites, uint32_t *pc,
                 tarvex_semihost::semihost_exit *exit, serve_outcome *outcome)
{
    static const unsigned selectors[] = {REGSEL_PC, 0, 1};
    uint32_t regs[3] = {};
    *outcome = SERVE_NOT_CALL;
    int rc = again([&] { return l.read_core_set(selectors, 3, regs); });
    *pc = regs[0];
    bool known =
        rc == TARGET_OK && sites != nullptr && std::find(sites->begin(), sites->end(), regs[0]) != sites->end();
    uint8_t at_pc[2] = {};
    if (rc == TARGET_OK && !known)
        rc = again([&] { return l.read_memory(regs[0] & ~1u, 1, 2, at_pc); });
    if (rc != TARGET_OK ||
        (!known && !tarvex_semihost::semihost_is_call(static_cast<uint16_t>(at_pc[0] | at_pc[1] << 8))))
        return rc;
    if (!known && sites != nullptr && sites->size() < CALL_SITES)
        sites->push_back(regs[0]);
    uint32_t result = 0;
    s.link_failed = false; // of this call: a debugger may resume after one that failed
    int performed = tarvex_semihost::semihost_perform(s, regs[1], regs[2], &result, exit);
    if (s.link_failed) // the call was not served: the core stays on it
        return TARGET_FAILED;
    if (performed != tarvex_semihost::SEMIHOST_RESUME) {
        *outcome = performed == tarvex_semihost::SEMIHOST_EXITED ? SERVE_EXITED : SERVE_DEADLINE;
        return TARGET_OK;
    }
    rc = again([&] { return l.write_core(0, result); });
    if (rc == TARGET_OK)
        rc = again([&] { return l.write_core(REGSEL_PC, regs[0] + 2); });
    // C_MASKINTS is left as it was: the core goes on as it would have. A
    // run asked for twice is one run: a core that halted again in between
    // is on its BKPT, which halts it again.
    if (rc == TARGET_OK)
        rc = again([&] { return l.write_debug(DHCSR, DHCSR_RUN); });
    if (rc == TARGET_OK)
        *outcome = SERVE_RESUMED;
    return rc;
}

int semihost_serve(link &l, tarvex_semihost::semihost_session &s, uint32_t *pc, tarvex_semihost::semihost_exit *exit,
                   serve_outcome *outcome)
{
    return serve(l, s, nullptr, pc, exit, outcome);
}

static double now_s()
{
    return static_cast<double>(tarvex::monotonic_us()) / 1e6;
}

static int drain(const run_options &opt)
{
    return opt.drain != nullptr ? opt.drain(opt.drain_ctx) : TARGET_OK;
}

// Polls until the core halts or locks up, or the deadline passes (0: none).
static int wait_stop(link &l, const run_options &opt, double deadline, run_end *end)
{
    useconds_t pause = 0;
    for (;;) {
        uint32_t dhcsr = 0;
        int rc = again([&] { return l.read_debug(DHCSR, &dhcsr); });
        if (rc != TARGET_OK)
            return rc;
        if ((dhcsr & S_LOCKUP) != 0) {
            *end = RUN_LOCKUP;
            return TARGET_OK;
        }
        if ((dhcsr & S_HALT) != 0) {
            *end = RUN_HALTED;
            return TARGET_OK;
        }
        rc = drain(opt);
        if (rc != TARGET_OK)
            return rc;
        if (deadline > 0 && now_s() >= deadline) {
            *end = RUN_TIMEOUT;
            return TARGET_OK;
        }
        if (pause > 0)
            usleep(pause);
        pause = pause == 0 ? POLL_FIRST_US : (pause * 2 > POLL_MAX_US ? POLL_MAX_US : pause * 2);
    }
}

// A core that locked up or ran past its time is halted for the report and
// for the reader after the run.
static void halt_at_end(link &l, run_result &r)
{
    int rc = halt(l);
    uint32_t pc = 0;
    if (rc == TARGET_OK)
        rc = l.read_core(REGSEL_PC, &pc);
    if (rc == TARGET_OK)
        r.pc = pc;
    else {
        r.rc = rc;
        r.end = RUN_FAILED;
    }
}

run_result semihost_run(link &l, tarvex_semihost::semihost_session &s, const run_options &opt)
{
    run_result r;
    std::vector<uint32_t> sites;
    double deadline = opt.timeout_s > 0 ? now_s() + opt.timeout_s : 0;
    s.deadline_us = opt.timeout_s > 0 ? tarvex::monotonic_us() + static_cast<int64_t>(opt.timeout_s * 1e6) : 0;
    r.rc = l.write_debug(DHCSR, DHCSR_RUN);
    while (r.rc == TARGET_OK) {
        run_end end = RUN_FAILED;
        r.rc = wait_stop(l, opt, deadline, &end);
        if (r.rc != TARGET_OK)
            break;
        if (end != RUN_HALTED) {
            r.end = end;
            halt_at_end(l, r);
            return r;
        }
        r.rc = drain(opt);
        if (r.rc != TARGET_OK)
            break;
        serve_outcome outcome = SERVE_NOT_CALL;
        r.rc = serve(l, s, &sites, &r.pc, &r.exit, &outcome);
        if (r.rc != TARGET_OK)
            break;
        if (outcome == SERVE_NOT_CALL) {
            r.end = RUN_HALTED;
            return r;
        }
        r.calls++;
        if (outcome == SERVE_EXITED || outcome == SERVE_DEADLINE) {
            r.end = outcome == SERVE_EXITED ? RUN_EXITED : RUN_TIMEOUT;
            return r;
        }
    }
    r.end = RUN_FAILED;
    return r;
}

} // namespace tarvex_target
