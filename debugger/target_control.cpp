#include <unistd.h>

#include "armv7m_debug.h"
#include "target.h"

namespace tarvex_target
{

using namespace armv7m;

// A halt, a step or a reset shows in DHCSR within a few probe round trips;
// the bound only keeps a dead target from hanging the caller.
constexpr int HALT_POLLS = 200;
constexpr useconds_t HALT_POLL_US = 5000;

run_state decode_run_state(uint32_t dhcsr)
{
    if ((dhcsr & S_HALT) != 0)
        return STATE_HALTED;
    if ((dhcsr & S_LOCKUP) != 0)
        return STATE_LOCKUP;
    return (dhcsr & S_RESET_ST) != 0 ? STATE_RESET : STATE_RUNNING;
}

int run_state_read(link &l, run_state *state)
{
    uint32_t dhcsr = 0;
    int rc = l.read_debug(DHCSR, &dhcsr);
    if (rc == TARGET_OK)
        *state = decode_run_state(dhcsr);
    return rc;
}

static int wait_halted(link &l)
{
    for (int i = 0; i < HALT_POLLS; i++) {
        uint32_t dhcsr = 0;
        int rc = l.read_debug(DHCSR, &dhcsr);
        if (rc != TARGET_OK || (dhcsr & S_HALT) != 0)
            return rc;
        usleep(HALT_POLL_US);
    }
    return TARGET_FAILED;
}

int halt(link &l)
{
    int rc = l.write_debug(DHCSR, DHCSR_HALT);
    return rc == TARGET_OK ? wait_halted(l) : rc;
}

int resume(link &l, bool step)
{
    // C_MASKINTS may change only while the core is halted, so it is set or
    // cleared with C_HALT first, then the core goes.
    uint32_t mask = step ? C_MASKINTS : 0;
    int rc = l.write_debug(DHCSR, DHCSR_HALT | mask);
    if (rc == TARGET_OK)
        rc = l.write_debug(DHCSR, DHCSR_RUN | mask | (step ? C_STEP : 0));
    return rc;
}

int step(link &l)
{
    int rc = resume(l, true);
    return rc == TARGET_OK ? wait_halted(l) : rc;
}

// The reset vector catch halts the core only while halting debug is on: a
// target nobody has halted yet gets C_DEBUGEN first. Written only when it
// is off, as the write would also let a halted core run.
static int enable_halting_debug(link &l)
{
    uint32_t dhcsr = 0;
    int rc = l.read_debug(DHCSR, &dhcsr);
    if (rc == TARGET_OK && (dhcsr & C_DEBUGEN) == 0)
        rc = l.write_debug(DHCSR, DHCSR_RUN);
    return rc;
}

int reset(link &l, bool halt)
{
    uint32_t demcr = 0;
    int rc = enable_halting_debug(l);
    if (rc == TARGET_OK)
        rc = l.read_debug(DEMCR, &demcr);
    if (rc == TARGET_OK)
        rc = l.write_debug(DEMCR, demcr | DEMCR_VC_CORERESET);
    bool caught = rc == TARGET_OK;
    if (rc == TARGET_OK)
        rc = l.write_debug(AIRCR, AIRCR_VECTKEY | AIRCR_SYSRESETREQ);
    if (rc == TARGET_OK)
        rc = wait_halted(l);
    // The catch set above is taken off whether or not the reset worked.
    if (caught && rc != TARGET_LOST) {
        int restored = l.write_debug(DEMCR, demcr & ~DEMCR_VC_CORERESET);
        if (rc == TARGET_OK)
            rc = restored;
    }
    if (rc == TARGET_OK && !halt)
        rc = resume(l, false);
    return rc;
}

stop_cause decode_stop(uint32_t dfsr, const stop_context &ctx, bool watch_hit)
{
    if (ctx.locked_up)
        return STOP_LOCKUP;
    if (watch_hit)
        return STOP_WATCH;
    bool trap = !ctx.interrupted && (ctx.stepping || (dfsr & (DFSR_BKPT | DFSR_DWTTRAP | DFSR_VCATCH)) != 0);
    return trap ? STOP_TRAP : STOP_INTERRUPT;
}

} // namespace tarvex_target
