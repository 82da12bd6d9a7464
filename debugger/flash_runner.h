// Inside the flash loader: the algorithm placed in target RAM and its
// functions called through the core's registers. Not for the front ends.
#pragma once

#include <unistd.h>

#include <cstdint>
#include <string>
#include <vector>

#include "flash_loader.h"

namespace tarvex_flash
{

// Where things lie in the loader's RAM.
struct flash_layout {
    uint32_t trap;         // BKPT: every function returns here
    uint32_t page_call;    // the helper's page loop reads its words here (PAGE_CALL_*)
    uint32_t code;         // the algorithm's load address
    uint32_t helper;       // 0 without the helper
    uint32_t buffers[2];   // side by side
    uint32_t buffer_count; // 1 or 2
    uint32_t buffer_size;  // whole pages; one page without the helper
    uint32_t guard;        // the stack's lowest word
    uint32_t stack_top;
};

// The helper's entries, from its start.
constexpr uint32_t HELPER_CHECKSUM_LIST = 0;
constexpr uint32_t HELPER_PROGRAM_PAGES = 4;
constexpr uint32_t HELPER_ERASE_SECTORS = 8;
// The word after the entries names the helper's version ("TVH2": the page
// loop verifies); a blob with another is not used.
constexpr uint32_t HELPER_VERSION_AT = 12;
constexpr uint32_t HELPER_VERSION = 0x32485654;
// The page loop's words: {ProgramPage's entry, page size, Verify's entry}
// at page_call, and the same with no Verify after them.
constexpr uint32_t PAGE_CALL_VERIFYING = 0;
constexpr uint32_t PAGE_CALL_PLAIN = 12;
constexpr uint32_t PAGE_CALL_SIZE = 24;

// Whether a helper blob is the version this loader calls.
bool flash_helper_current(const std::vector<uint8_t> &blob);

// Lays the algorithm out in setup's work RAM. -1 with *why when it does not fit.
int flash_layout_plan(const flash_setup &setup, flash_layout *out, std::string *why);

class flash_runner
{
public:
    flash_runner(tarvex_target::link &l, const flash_setup &setup, flash_error *err) : l_(l), setup_(setup), err_(err)
    {
    }

    // Halts and resets the core, writes the algorithm, the trap, the guard,
    // and SP, R9 and xPSR's Thumb bit.
    int place(flash_phase phase);
    const flash_layout &layout() const { return lay_; }
    const tarvex_images::flash_algo &algo() const { return setup_.algo; }
    tarvex_target::link &target() { return l_; }

    // A call in two halves, so that the next page can be written while one
    // runs. `addr` is what a failure names. finish gives R0 and, when
    // second is not null, R1.
    int start(const char *name, uint32_t entry, uint32_t addr, uint32_t timeout_ms, const uint32_t *args,
              unsigned nargs);
    int finish(uint32_t *result, uint32_t *second = nullptr);
    int call(const char *name, uint32_t entry, uint32_t addr, uint32_t timeout_ms, const uint32_t *args, unsigned nargs,
             uint32_t *result, uint32_t *second = nullptr);

    // Init(base, 0, fnc) and UnInit(fnc); a function that answers non-zero
    // is an error.
    int init(uint32_t fnc);
    int uninit(uint32_t fnc);
    // The helper's checksum of each range, in one call per buffer of them.
    int checksums(const std::vector<tarvex_images::image_extent> &ranges, std::vector<uint32_t> *sums);
    // A call of the helper's entry with R0 = a list of words it finds in
    // the first buffer, R1 = count, R2 = arg; list_room says how many
    // entries of entry_size bytes a list may hold.
    int list_call(const char *name, uint32_t entry, const std::vector<uint32_t> &words, uint32_t count, uint32_t arg,
                  uint32_t addr, uint32_t timeout_ms, uint32_t *result, uint32_t *second = nullptr);
    uint32_t list_room(uint32_t entry_size) const;

    // Records a failure (phase, address, cause) and returns TARGET_FAILED,
    // or TARGET_LOST or TARGET_CANCELLED when rc says so.
    int fail(int rc, uint32_t addr, const std::string &cause);
    // The same for a difference verification found.
    int differ(uint32_t addr, const std::string &cause);
    void set_phase(flash_phase p) { phase_ = p; }
    flash_phase phase() const { return phase_; }

    // The work (bytes) of the next call: a call of the same function as
    // the last one measured is first polled near its expected end.
    void expect(uint32_t units) { units_ = units; }

private:
    int wait_trap();
    useconds_t first_pause() const;
    tarvex_target::link &l_;
    const flash_setup &setup_;
    flash_error *err_;
    flash_layout lay_{};
    flash_phase phase_ = PHASE_PREPARE;
    const char *pending_ = nullptr;
    uint32_t pending_addr_ = 0;
    uint32_t pending_timeout_ = 0;
    int64_t started_us_ = 0;
    uint32_t units_ = 0; // the work of the pending call; 0: not estimated
    const char *rate_of_ = nullptr;
    double us_per_unit_ = 0; // measured on the last call of rate_of_
};

// Time-outs: the algorithm's own, never below this floor.
constexpr uint32_t FLASH_TIMEOUT_FLOOR_MS = 1000;

std::string hex32(uint32_t value);

} // namespace tarvex_flash
