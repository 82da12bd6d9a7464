// The flash loader both front ends share: runs a CMSIS-Pack flash algorithm
// in target RAM through the target layer to erase, program and verify the
// flash, and compares sectors with an image by a checksum computed on the
// target. Failures name the phase, the address and the cause.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "flash_algo.h"
#include "image_file.h"
#include "target_link.h"

namespace tarvex_flash
{

// What the loader needs besides the link: the algorithm, the helper (raw
// Thumb code whose first words branch to the checksum list and the page
// loop; empty: no comparison, every touched sector is erased, one call per
// page, and verification needs the algorithm's Verify), the RAM the loader
// may use, and the target's RAM for image parts there.
struct flash_setup {
    tarvex_images::flash_algo algo;
    std::vector<uint8_t> helper;
    uint32_t work_base = 0x20000000;
    uint32_t work_size = 0x8000;
    uint32_t ram_base = 0x20000000;
    uint32_t ram_size = 0x20000;
    // What flash_setup_load had to go without (the helper), for the front
    // end to say once; empty when nothing.
    std::string warning;
};

enum flash_phase : int { PHASE_PREPARE, PHASE_ERASE, PHASE_PROGRAM, PHASE_VERIFY, PHASE_COUNT };
const char *flash_phase_name(flash_phase p);

struct flash_error {
    flash_phase phase = PHASE_PREPARE;
    uint32_t address = 0;
    std::string cause;
    bool lost = false;      // the server stopped answering
    bool mismatch = false;  // verification found the target different from the image
    bool outside = false;   // a part of the image, or the range, lies outside the flash (and RAM)
    bool cancelled = false; // the observer asked it to stop: cause says what the flash is left as
};

struct flash_options {
    bool chip_erase = false;
    bool verify = true;
    bool halt_after = false; // leave the core halted instead of resetting it into the image
};

struct flash_summary {
    uint32_t sectors_erased = 0;
    uint32_t sectors_skipped = 0; // touched by the image but already equal to it
    uint64_t bytes_programmed = 0;
    uint64_t bytes_verified = 0;
    // Of those, the bytes the algorithm's Verify checked in the program
    // phase, buffer by buffer as each was programmed (the verify phase's
    // bytes count them, its seconds do not).
    uint64_t verified_in_program = 0;
    double seconds[PHASE_COUNT] = {};
    uint64_t bytes[PHASE_COUNT] = {}; // the bytes each phase handled
};

// Called at the start and during each phase with bytes done of total.
// cancelled is asked between the algorithm's calls: once it says yes the
// operation stops there (a page boundary: every call in flight has
// returned), calls UnInit, resets the core and leaves it halted, and ends
// with TARGET_CANCELLED, the flash's state in the error's cause.
struct flash_observer {
    virtual ~flash_observer() = default;
    virtual void progress(flash_phase phase, uint64_t done, uint64_t total) = 0;
    virtual bool cancelled() { return false; }
};

// Each operation is many requests: the caller holds the probe around it
// (probe_hold.h).

// Writes the image: halt and reset, flash parts through the algorithm
// (its Verify checking each buffer of pages while the buffer still holds
// them), RAM parts with memory writes, then verify what is left, then
// reset (and run unless halt_after). Parts outside both are refused before
// anything changes.
int flash_program(tarvex_target::link &l, const flash_setup &setup,
                  const std::vector<tarvex_images::image_extent> &image, const flash_options &opt, flash_observer *obs,
                  flash_summary *sum, flash_error *err);

// Erases the sectors that [addr, addr+len) touches, or everything with
// len == 0; leaves the core halted.
int flash_erase(tarvex_target::link &l, const flash_setup &setup, uint32_t addr, uint32_t len, flash_observer *obs,
                flash_summary *sum, flash_error *err);

// Compares the target with the image (flash parts by checksum or the
// algorithm's Verify, RAM parts by reading); the first differing address
// goes into err. Leaves the core halted.
int flash_verify(tarvex_target::link &l, const flash_setup &setup,
                 const std::vector<tarvex_images::image_extent> &image, flash_observer *obs, flash_summary *sum,
                 flash_error *err);

// ---- finding the algorithm ------------------------------------------------------

// The virtual target's device-ID register and the value it answers.
constexpr uint32_t VIRTUAL_TARGET_DEVID_ADDR = 0xE0080000;
constexpr uint32_t VIRTUAL_TARGET_DEVID = 0x7E57F401;

// Where an algorithm comes from: an .FLM, a pack and device, or neither
// (the target is asked who it is and the shipped algorithm taken).
struct flash_source {
    std::string algo_path;
    std::string pack_path;
    std::string device;
    std::string data_dir; // an explicit data directory, else the search below
};

// A file shipped under share/tarvex: source.data_dir, then
// $TARVEX_DATA_DIR, then the executable's ../share/tarvex, then (for a
// program run from the build tree) the build tree. Empty when none has it.
std::string flash_data_file(const flash_source &source, const char *name);

// Reads the algorithm and the helper into *setup (with the pack's RAM when
// it names one). -1 with *why when nothing fits. Without a usable helper
// the loader still works, slower: setup->warning says so.
int flash_setup_load(tarvex_target::link &l, const flash_source &source, flash_setup *setup, std::string *why);

// An image file read whole, in the form image_choose_format finds (forced,
// unless IMAGE_UNKNOWN): a raw binary at *base, which only a raw binary
// may have and must have (nullptr: no base given). -1 with *why naming the
// file and what is wrong with it.
int flash_image_load(const std::string &path, tarvex_images::image_format forced, const uint32_t *base,
                     std::vector<tarvex_images::image_extent> *image, std::string *why);

} // namespace tarvex_flash
