#include "flash_runner.h"

#include <unistd.h>

#include <cstdio>

#include "armv7m_debug.h"
#include "target.h"
#include "tarvex_client.h"

namespace tarvex_target
{

using namespace armv7m;

constexpr uint32_t TRAP_WORD = 0xBE00BE00; // two BKPT #0
constexpr uint32_t GUARD_WORD = 0x57AC6A2D;
constexpr uint32_t STACK_SIZE = 1024;
constexpr uint32_t XPSR_THUMB = 1u << 24;
// The first polls of a call come back to back (Init, UnInit and the like
// return within them); after these the loop sleeps between polls, since
// every poll competes with the core for the target (on the virtual probe
// polling without pause doubled the time of a page).
constexpr int BUSY_POLLS = 2;
constexpr useconds_t POLL_SLEEP_US = 1000;

std::string hex32(uint32_t value)
{
    char text[16];
    snprintf(text, sizeof(text), "0x%08x", value);
    return text;
}

static uint32_t align_up(uint32_t v, uint32_t a)
{
    return (v + a - 1) & ~(a - 1);
}

int flash_layout_plan(const flash_setup &setup, flash_layout *out, std::string *why)
{
    const tarvex::flash_algo &a = setup.algo;
    flash_layout lay{};
    lay.trap = align_up(setup.work_base, 4);
    lay.code = lay.trap + 4;
    uint32_t at = align_up(lay.code + tarvex::flash_algo_span(a), 4);
    if (!setup.crc_routine.empty()) {
        lay.crc_entry = at;
        at = align_up(at + static_cast<uint32_t>(setup.crc_routine.size()), 4);
    }
    uint64_t end = static_cast<uint64_t>(setup.work_base) + setup.work_size;
    uint32_t page = align_up(a.device.page_size, 4);
    uint64_t fixed = static_cast<uint64_t>(at) + 8 + STACK_SIZE; // stack alignment, guard, stack
    if (page == 0 || fixed + page > end) {
        *why = "the algorithm, one page buffer and a stack need more than the " + std::to_string(setup.work_size) +
               " bytes of RAM at " + hex32(setup.work_base);
        return -1;
    }
    lay.buffer_count = fixed + 2ull * page <= end ? 2 : 1;
    for (uint32_t i = 0; i < lay.buffer_count; i++) {
        lay.buffers[i] = at;
        at += page;
    }
    lay.guard = align_up(at, 8);
    lay.stack_top = lay.guard + 4 + STACK_SIZE;
    lay.stack_top &= ~7u;
    *out = lay;
    return 0;
}

int flash_runner::fail(int rc, uint32_t addr, const std::string &cause)
{
    err_->phase = phase_;
    err_->address = addr;
    err_->lost = rc == TARGET_LOST;
    err_->cause = err_->lost ? "the server stopped answering" : cause;
    return err_->lost ? TARGET_LOST : TARGET_FAILED;
}

int flash_runner::differ(uint32_t addr, const std::string &cause)
{
    err_->mismatch = true;
    return fail(TARGET_FAILED, addr, cause);
}

static int write_word(link &l, uint32_t addr, uint32_t value)
{
    uint8_t b[4] = {static_cast<uint8_t>(value), static_cast<uint8_t>(value >> 8), static_cast<uint8_t>(value >> 16),
                    static_cast<uint8_t>(value >> 24)};
    return l.write_memory(addr, 4, 1, b);
}

static int read_word(link &l, uint32_t addr, uint32_t *value)
{
    uint8_t b[4] = {};
    int rc = l.read_memory(addr, 4, 1, b);
    *value = b[0] | b[1] << 8 | b[2] << 16 | static_cast<uint32_t>(b[3]) << 24;
    return rc;
}

int flash_runner::place(flash_phase phase)
{
    phase_ = phase;
    std::string why;
    if (flash_layout_plan(setup_, &lay_, &why) != 0)
        return fail(TARGET_FAILED, setup_.work_base, why);
    int rc = halt(l_);
    if (rc == TARGET_OK)
        rc = reset(l_, true);
    if (rc != TARGET_OK)
        return fail(rc, 0, "the core did not halt and reset");
    std::vector<uint8_t> image = tarvex::flash_algo_image(setup_.algo);
    rc = write_word(l_, lay_.trap, TRAP_WORD);
    if (rc == TARGET_OK)
        rc = memory_write(l_, lay_.code, image.data(), static_cast<uint32_t>(image.size()));
    if (rc == TARGET_OK && lay_.crc_entry != 0)
        rc = memory_write(l_, lay_.crc_entry, setup_.crc_routine.data(),
                          static_cast<uint32_t>(setup_.crc_routine.size()));
    if (rc == TARGET_OK)
        rc = write_word(l_, lay_.guard, GUARD_WORD);
    if (rc != TARGET_OK)
        return fail(rc, lay_.trap, "writing the algorithm into RAM failed");
    const unsigned regs[] = {REGSEL_SP, 9, REGSEL_XPSR};
    const uint32_t values[] = {lay_.stack_top, lay_.code + setup_.algo.data_offset, XPSR_THUMB};
    for (size_t i = 0; i < 3 && rc == TARGET_OK; i++)
        rc = l_.write_core(regs[i], values[i]);
    return rc == TARGET_OK ? rc : fail(rc, 0, "setting up the core's registers failed");
}

int flash_runner::start(const char *name, uint32_t entry, uint32_t addr, uint32_t timeout_ms, const uint32_t *args,
                        unsigned nargs)
{
    pending_ = name;
    pending_addr_ = addr;
    pending_timeout_ = timeout_ms < FLASH_TIMEOUT_FLOOR_MS ? FLASH_TIMEOUT_FLOOR_MS : timeout_ms;
    int rc = TARGET_OK;
    for (unsigned i = 0; i < nargs && rc == TARGET_OK; i++)
        rc = l_.write_core(i, args[i]);
    if (rc == TARGET_OK)
        rc = l_.write_core(REGSEL_LR, lay_.trap | 1);
    if (rc == TARGET_OK)
        rc = l_.write_core(REGSEL_PC, entry);
    if (rc == TARGET_OK)
        rc = l_.write_debug(DHCSR, DHCSR_RUN);
    return rc == TARGET_OK ? rc : fail(rc, addr, std::string("starting ") + name + " failed");
}

// The PC where the core stopped; a time-out or a lockup is an error.
int flash_runner::wait_trap(uint32_t *pc)
{
    int64_t deadline = tarvex::monotonic_ms() + pending_timeout_;
    std::string why;
    for (int polls = 0;; polls++) {
        uint32_t dhcsr = 0;
        int rc = l_.read_debug(DHCSR, &dhcsr);
        if (rc != TARGET_OK)
            return fail(rc, pending_addr_, std::string("watching ") + pending_ + " failed");
        if ((dhcsr & S_HALT) != 0)
            return l_.read_core(REGSEL_PC, pc);
        if ((dhcsr & S_LOCKUP) != 0) {
            why = " locked the core up";
            break;
        }
        if (tarvex::monotonic_ms() > deadline) {
            why = " did not return within " + std::to_string(pending_timeout_) + " ms";
            break;
        }
        if (polls >= BUSY_POLLS)
            usleep(POLL_SLEEP_US);
    }
    int rc = halt(l_);
    if (rc == TARGET_OK)
        rc = l_.read_core(REGSEL_PC, pc);
    if (rc != TARGET_OK)
        return fail(rc, pending_addr_, std::string(pending_) + why + " and the core does not halt");
    return fail(TARGET_FAILED, pending_addr_, std::string(pending_) + why + " (PC " + hex32(*pc) + ")");
}

int flash_runner::finish(uint32_t *result)
{
    uint32_t pc = 0, guard = 0;
    int rc = wait_trap(&pc);
    if (rc != TARGET_OK)
        return rc;
    if ((pc & ~1u) != lay_.trap)
        return fail(TARGET_FAILED, pending_addr_,
                    std::string(pending_) + " stopped at PC " + hex32(pc) + ", not at its return");
    rc = read_word(l_, lay_.guard, &guard);
    if (rc == TARGET_OK && guard != GUARD_WORD)
        return fail(TARGET_FAILED, pending_addr_, std::string(pending_) + " overran its stack (PC " + hex32(pc) + ")");
    if (rc == TARGET_OK)
        rc = l_.read_core(0, result);
    return rc == TARGET_OK ? rc : fail(rc, pending_addr_, std::string("reading ") + pending_ + "'s result failed");
}

int flash_runner::call(const char *name, uint32_t entry, uint32_t addr, uint32_t timeout_ms, const uint32_t *args,
                       unsigned nargs, uint32_t *result)
{
    int rc = start(name, entry, addr, timeout_ms, args, nargs);
    return rc == TARGET_OK ? finish(result) : rc;
}

int flash_runner::init(uint32_t fnc)
{
    uint32_t args[3] = {setup_.algo.device.address, 0, fnc}, result = 0;
    int rc = call("Init", lay_.code + setup_.algo.init, args[0], 0, args, 3, &result);
    if (rc == TARGET_OK && result != 0)
        rc = fail(TARGET_FAILED, args[0], "Init answered " + std::to_string(result));
    return rc;
}

int flash_runner::uninit(uint32_t fnc)
{
    uint32_t result = 0;
    int rc = call("UnInit", lay_.code + setup_.algo.uninit, setup_.algo.device.address, 0, &fnc, 1, &result);
    if (rc == TARGET_OK && result != 0)
        rc = fail(TARGET_FAILED, setup_.algo.device.address, "UnInit answered " + std::to_string(result));
    return rc;
}

int flash_runner::crc(uint32_t addr, uint32_t len, uint32_t *value)
{
    // The routine takes about 14 instructions a byte.
    uint32_t args[2] = {addr, len};
    return call("the checksum routine", lay_.crc_entry, addr, 2000 + len / 32, args, 2, value);
}

} // namespace tarvex_target
