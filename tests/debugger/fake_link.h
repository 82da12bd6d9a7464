// An in-memory Cortex-M core behind the target layer's link: RAM, the
// debug registers as plain words with the run control of DHCSR and a
// system reset through AIRCR, the core registers, a record of every access
// the layer made, and failures on demand.
#pragma once

#include <cstdint>
#include <map>
#include <string>
#include <vector>

#include "target_link.h"

namespace tarvex_test
{

class fake_link : public tarvex_target::link
{
public:
    fake_link();

    int read_debug(uint32_t addr, uint32_t *value) override;
    int write_debug(uint32_t addr, uint32_t value) override;
    int read_core(unsigned regsel, uint32_t *value) override;
    int write_core(unsigned regsel, uint32_t value) override;
    int read_core_set(const unsigned *regsels, size_t count, uint32_t *values) override;
    int read_memory(uint32_t addr, uint32_t size, uint32_t count, uint8_t *data) override;
    int write_memory(uint32_t addr, uint32_t size, uint32_t count, const uint8_t *data) override;

    // RAM at ram_base; memory outside it fails.
    static constexpr uint32_t ram_base = 0x20000000;
    std::vector<uint8_t> ram = std::vector<uint8_t>(256 * 1024);
    std::map<uint32_t, uint32_t> debug; // debug register words, 0 when never written
    uint32_t core[128] = {};            // by DCRSR selector: the FP registers stand at 0x21 and 0x40-0x5F
    bool halted = false;
    bool never_halts = false; // a core that ignores C_HALT
    uint32_t fail_addr = 0;   // an access that touches it answers fail_result
    int fail_result = tarvex_target::TARGET_FAILED;
    bool failing = false;
    // "r4@20000001x3", "w1@...", "dr@E000EDF0", "dw@E000EDF0=...", "cr16",
    // "cw15=...", "set3" (one register-set read of three), in order.
    std::vector<std::string> log;
    std::string accesses(char kind) const; // the memory accesses of kind 'r' or 'w', space separated

private:
    int check(uint32_t addr, uint32_t len) const;
};

} // namespace tarvex_test
