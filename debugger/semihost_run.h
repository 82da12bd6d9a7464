// Running a core under semihosting: each halt on BKPT 0xAB is served
// through the semihosting module (R0 written, PC moved past the
// instruction, the core resumed) until the firmware exits or stops in any
// other way. The halt is noticed by polling DHCSR, each poll one request
// that waits its turn among the other clients' operations on the probe.
#pragma once

#include <cstdint>

#include "semihosting.h"
#include "target_link.h"

namespace tarvex_target
{

// The target's memory for the semihosting module, through a link.
tarvex_semihost::semihost_memory semihost_memory_of(link &l);

// SERVE_DEADLINE: the session's deadline passed while the call waited for
// console input; the core stays halted at the call.
enum serve_outcome : int { SERVE_NOT_CALL, SERVE_RESUMED, SERVE_EXITED, SERVE_DEADLINE };

// One halt of a halted core: when it is a semihosting call, performs it
// and (unless the firmware exited) writes R0 and PC and resumes the core.
// *pc is the PC of the halt; *exit is set on SERVE_EXITED.
int semihost_serve(link &l, tarvex_semihost::semihost_session &s, uint32_t *pc, tarvex_semihost::semihost_exit *exit,
                   serve_outcome *outcome);

enum run_end : int {
    RUN_EXITED,  // the firmware called SYS_EXIT or SYS_EXIT_EXTENDED
    RUN_HALTED,  // a halt that is no semihosting call (another BKPT, a debugger)
    RUN_LOCKUP,  // the core locked up (an unhandled fault)
    RUN_TIMEOUT, // the time-out passed (a console read waiting included); the core is halted
    RUN_FAILED,  // the link failed (rc says how; the session's link_failed when in a call), or drain did
};

struct run_options {
    double timeout_s = 0; // 0 waits for ever
    // Called at every halt before the call is served and between polls
    // while the core runs, so that trace text comes out before what the
    // firmware writes next and the probe's capture never overflows.
    // TARGET_OK, or the failure that ends the run (RUN_FAILED with it).
    int (*drain)(void *ctx) = nullptr;
    void *drain_ctx = nullptr;
};

struct run_result {
    run_end end = RUN_FAILED;
    int rc = TARGET_OK;
    tarvex_semihost::semihost_exit exit;
    uint32_t pc = 0; // where the core stopped
    unsigned calls = 0;
};

// Lets the core run (it may be halted or running) and serves its
// semihosting calls until it ends; the core is left halted, except after
// a lost link.
run_result semihost_run(link &l, tarvex_semihost::semihost_session &s, const run_options &opt);

} // namespace tarvex_target
