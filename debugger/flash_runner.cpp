#include "flash_runner.h"

#include <unistd.h>

#include <algorithm>
#include <cstdio>
#include <cstring>

#include "armv7m_debug.h"
#include "target.h"
#include "tarvex_client.h"

namespace tarvex_flash
{

using namespace tarvex_target;
using tarvex_target::link; // not the POSIX link()

using namespace armv7m;

constexpr uint32_t TRAP_WORD = 0xBE00BE00; // two BKPT #0
constexpr uint32_t GUARD_WORD = 0x57AC6A2D;
constexpr uint32_t STACK_SIZE = 1024; // the guard word included
constexpr uint32_t WRITE_BLOCK = 1024;
constexpr uint32_t XPSR_THUMB = 1u << 24;
// Buffers larger than this gain little: a call per 16 KiB is already a
// small part of the time, and progress is reported per buffer.
constexpr uint32_t MAX_BUFFER = 16 * 1024;
// Between polls of a running call the pause doubles up to a bound: short
// calls (Init, UnInit) are seen at the first polls, while a long one costs
// the probe a request per POLL_MAX_US. Every poll takes the target from the
// emulated core for a moment, which is why the bound is not lower. A call
// like the last one measured (the next buffer of pages) is first polled at
// this share of the time that one took, so that it costs a poll or two
// instead of a poll per bound.
constexpr useconds_t POLL_FIRST_US = 100;
constexpr useconds_t POLL_MAX_US = 2000;
constexpr double POLL_EXPECTED_SHARE = 0.8;
constexpr uint32_t LIST_ENTRY = 12; // the helper's {address, length, sum}

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
    const tarvex_images::flash_algo &a = setup.algo;
    flash_layout lay{};
    lay.trap = align_up(setup.work_base, 4);
    lay.page_call = lay.trap + 4;
    lay.code = lay.page_call + PAGE_CALL_SIZE;
    uint32_t at = align_up(lay.code + tarvex_images::flash_algo_span(a), 4);
    if (!setup.helper.empty()) {
        lay.helper = at;
        at = align_up(at + static_cast<uint32_t>(setup.helper.size()), 4);
    }
    // The stack at the top, its lowest word the guard; the buffers between.
    uint64_t end = static_cast<uint64_t>(setup.work_base) + setup.work_size;
    uint64_t stack_top = end & ~7ull, guard = stack_top - STACK_SIZE;
    uint32_t page = align_up(a.device.page_size, 4);
    if (page == 0 || stack_top < static_cast<uint64_t>(at) + STACK_SIZE + page || at + page > guard) {
        *why = "the algorithm, one page buffer and a stack need more than the " + std::to_string(setup.work_size) +
               " bytes of RAM at " + hex32(setup.work_base);
        return -1;
    }
    uint64_t room = guard - at;
    lay.buffer_count = room >= 2ull * page ? 2 : 1;
    lay.buffer_size = page;
    // The helper's page loop takes a buffer of many pages in one call.
    if (lay.buffer_count == 2 && lay.helper != 0)
        lay.buffer_size = static_cast<uint32_t>(std::min<uint64_t>(room / 2, MAX_BUFFER) / page * page);
    // The probe writes memory in blocks that do not cross a WRITE_BLOCK
    // boundary (the access port's address increment): buffers that start on
    // one cost a block less each time they are filled.
    uint64_t aligned = (static_cast<uint64_t>(at) + WRITE_BLOCK - 1) & ~static_cast<uint64_t>(WRITE_BLOCK - 1);
    if (aligned + static_cast<uint64_t>(lay.buffer_count) * lay.buffer_size <= guard)
        at = static_cast<uint32_t>(aligned);
    for (uint32_t i = 0; i < lay.buffer_count; i++) {
        lay.buffers[i] = at;
        at += lay.buffer_size;
    }
    lay.guard = static_cast<uint32_t>(guard);
    lay.stack_top = static_cast<uint32_t>(stack_top);
    *out = lay;
    return 0;
}

int flash_runner::fail(int rc, uint32_t addr, const std::string &cause)
{
    err_->phase = phase_;
    err_->address = addr;
    err_->lost = rc == TARGET_LOST;
    err_->cancelled = rc == TARGET_CANCELLED;
    err_->cause = err_->lost ? "the server stopped answering" : cause;
    return err_->lost || err_->cancelled ? rc : TARGET_FAILED;
}

int flash_runner::differ(uint32_t addr, const std::string &cause)
{
    err_->mismatch = true;
    return fail(TARGET_FAILED, addr, cause);
}

static void put_word(uint8_t *b, uint32_t value)
{
    for (int i = 0; i < 4; i++)
        b[i] = static_cast<uint8_t>(value >> (8 * i));
}

static uint32_t word_at(const uint8_t *b)
{
    return b[0] | b[1] << 8 | b[2] << 16 | static_cast<uint32_t>(b[3]) << 24;
}

bool flash_helper_current(const std::vector<uint8_t> &blob)
{
    return blob.size() >= HELPER_VERSION_AT + 4 && word_at(&blob[HELPER_VERSION_AT]) == HELPER_VERSION;
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
    // The trap, the page loop's words, the algorithm and the helper lie
    // one after the other: one write.
    std::vector<uint8_t> image(lay_.code - lay_.trap, 0);
    put_word(&image[0], TRAP_WORD);
    const tarvex_images::flash_algo &a = setup_.algo;
    for (uint32_t at : {PAGE_CALL_VERIFYING, PAGE_CALL_PLAIN}) {
        put_word(&image[4 + at], (lay_.code + a.program_page) | 1);
        put_word(&image[8 + at], a.device.page_size);
    }
    if (a.verify != tarvex_images::ALGO_ABSENT)
        put_word(&image[12 + PAGE_CALL_VERIFYING], (lay_.code + a.verify) | 1);
    std::vector<uint8_t> algo = tarvex_images::flash_algo_image(setup_.algo);
    image.insert(image.end(), algo.begin(), algo.end());
    if (lay_.helper != 0) {
        image.resize(lay_.helper - lay_.trap, 0);
        image.insert(image.end(), setup_.helper.begin(), setup_.helper.end());
    }
    rc = memory_write(l_, lay_.trap, image.data(), static_cast<uint32_t>(image.size()));
    // A single word goes as one request of the probe's, with no status
    // request after it as a memory write has.
    if (rc == TARGET_OK)
        rc = l_.write_debug(lay_.guard, GUARD_WORD);
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
    started_us_ = tarvex::monotonic_us();
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

// When a call like the last one measured is due, less a margin.
useconds_t flash_runner::first_pause() const
{
    if (units_ == 0 || rate_of_ == nullptr || strcmp(rate_of_, pending_) != 0)
        return 0;
    double due =
        us_per_unit_ * units_ * POLL_EXPECTED_SHARE - static_cast<double>(tarvex::monotonic_us() - started_us_);
    return due > 0 ? static_cast<useconds_t>(std::min(due, pending_timeout_ * 1e3)) : 0;
}

// Returns once the core has halted; a time-out or a lockup is an error.
int flash_runner::wait_trap()
{
    int64_t deadline = tarvex::monotonic_ms() + pending_timeout_;
    std::string why;
    useconds_t first = first_pause();
    if (first > 0)
        usleep(first);
    for (useconds_t pause = POLL_FIRST_US;; pause = std::min(pause * 2, POLL_MAX_US)) {
        uint32_t dhcsr = 0;
        int rc = l_.read_debug(DHCSR, &dhcsr);
        if (rc != TARGET_OK)
            return fail(rc, pending_addr_, std::string("watching ") + pending_ + " failed");
        if ((dhcsr & S_HALT) != 0)
            return TARGET_OK;
        if ((dhcsr & S_LOCKUP) != 0) {
            why = " locked the core up";
            break;
        }
        if (tarvex::monotonic_ms() > deadline) {
            why = " did not return within " + std::to_string(pending_timeout_) + " ms";
            break;
        }
        usleep(pause);
    }
    uint32_t pc = 0;
    int rc = halt(l_);
    if (rc == TARGET_OK)
        rc = l_.read_core(REGSEL_PC, &pc);
    if (rc != TARGET_OK)
        return fail(rc, pending_addr_, std::string(pending_) + why + " and the core does not halt");
    return fail(TARGET_FAILED, pending_addr_, std::string(pending_) + why + " (PC " + hex32(pc) + ")");
}

// The registers in one request, then the guard word as one more.
int flash_runner::finish(uint32_t *result, uint32_t *second)
{
    int rc = wait_trap();
    uint32_t units = units_;
    units_ = 0;
    if (rc != TARGET_OK)
        return rc;
    if (units > 0) {
        rate_of_ = pending_;
        us_per_unit_ = static_cast<double>(tarvex::monotonic_us() - started_us_) / units;
    }
    const unsigned regs[] = {REGSEL_PC, 0, 1};
    uint32_t values[3] = {}, guard = 0;
    rc = l_.read_core_set(regs, 3, values);
    if (rc == TARGET_OK && (values[0] & ~1u) != lay_.trap)
        return fail(TARGET_FAILED, pending_addr_,
                    std::string(pending_) + " stopped at PC " + hex32(values[0]) + ", not at its return");
    if (rc == TARGET_OK)
        rc = l_.read_debug(lay_.guard, &guard);
    if (rc == TARGET_OK && guard != GUARD_WORD)
        return fail(TARGET_FAILED, pending_addr_,
                    std::string(pending_) + " overran its stack (PC " + hex32(values[0]) + ")");
    if (rc != TARGET_OK)
        return fail(rc, pending_addr_, std::string("reading ") + pending_ + "'s result failed");
    *result = values[1];
    if (second != nullptr)
        *second = values[2];
    return TARGET_OK;
}

int flash_runner::call(const char *name, uint32_t entry, uint32_t addr, uint32_t timeout_ms, const uint32_t *args,
                       unsigned nargs, uint32_t *result, uint32_t *second)
{
    int rc = start(name, entry, addr, timeout_ms, args, nargs);
    return rc == TARGET_OK ? finish(result, second) : rc;
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

int flash_runner::list_call(const char *name, uint32_t entry, const std::vector<uint32_t> &words, uint32_t count,
                            uint32_t arg, uint32_t addr, uint32_t timeout_ms, uint32_t *result, uint32_t *second)
{
    std::vector<uint8_t> list(words.size() * 4);
    for (size_t i = 0; i < words.size(); i++)
        put_word(&list[i * 4], words[i]);
    int rc = memory_write(l_, lay_.buffers[0], list.data(), static_cast<uint32_t>(list.size()));
    if (rc != TARGET_OK)
        return fail(rc, addr, std::string("writing the list for ") + name + " failed");
    uint32_t args[3] = {lay_.buffers[0], count, arg};
    return call(name, lay_.helper + entry, addr, timeout_ms, args, 3, result, second);
}

uint32_t flash_runner::list_room(uint32_t entry_size) const
{
    return lay_.buffer_size * lay_.buffer_count / entry_size;
}

// One call of the helper for as many ranges as a buffer's list holds.
int flash_runner::checksums(const std::vector<tarvex_images::image_extent> &ranges, std::vector<uint32_t> *sums)
{
    size_t per_call = list_room(LIST_ENTRY);
    sums->clear();
    for (size_t first = 0; first < ranges.size(); first += per_call) {
        size_t n = std::min(per_call, ranges.size() - first);
        std::vector<uint32_t> words;
        uint64_t bytes = 0;
        for (size_t i = first; i < first + n; i++) {
            words.insert(words.end(), {ranges[i].address, static_cast<uint32_t>(ranges[i].bytes.size()), 0});
            bytes += ranges[i].bytes.size();
        }
        // The routine takes less than one instruction a byte.
        uint32_t at = ranges[first].address, result = 0;
        int rc = list_call("the checksum routine", HELPER_CHECKSUM_LIST, words, static_cast<uint32_t>(n), 0, at,
                           static_cast<uint32_t>(2000 + bytes / 1024), &result);
        if (rc != TARGET_OK)
            return rc;
        std::vector<uint8_t> back;
        rc = memory_read(l_, lay_.buffers[0], static_cast<uint32_t>(words.size() * 4), &back);
        if (rc != TARGET_OK)
            return fail(rc, at, "reading the checksums failed");
        for (size_t i = 0; i < n; i++)
            sums->push_back(word_at(&back[i * LIST_ENTRY + 8]));
    }
    return TARGET_OK;
}

} // namespace tarvex_flash
