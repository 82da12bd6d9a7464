// The emulated core driven through the probe model as a debugger drives it,
// one turn of the executor at a time, over a private bus: the fixture of
// the core's instruction-sequence tests.
#pragma once

#include <gtest/gtest.h>

#include <fstream>
#include <iterator>
#include <vector>

#include "armv7m_debug.h"
#include "elf_lookup.h"
#include "emulated_core.h"
#include "probe_bus.h"
#include "probe_model.h"
#include "target_scs.h"

namespace vprobe_test
{

using namespace armv7m;
using namespace vprobe;

// Address of `name` in the image at path.
inline uint32_t elf_address(const char *path, const char *name)
{
    tarvex_test::elf_symbol s = tarvex_test::elf_symbol_of(path, name);
    EXPECT_TRUE(s.found) << name;
    return s.address;
}

class CoreFixture : public ::testing::Test
{
protected:
    void SetUp() override
    {
        ASSERT_EQ(bus_create_private(bus_, 8u << 20), 0);
        probe_config cfg;
        config_defaults(cfg);
        cfg.swo_source = SWO_ITM;
        cfg.core = core_kind_;
        ASSERT_EQ(bus_add_probe(bus_, cfg), 0);
        v_ = bus_view(bus_, 0);
        core_ = emu_core_open(bus_, 0);
        ASSERT_NE(core_, nullptr);
    }
    void TearDown() override
    {
        emu_core_close(core_);
        bus_close(bus_);
    }
    void load_image(const char *path)
    {
        std::ifstream in(path, std::ios::binary);
        std::vector<uint8_t> image((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
        ASSERT_EQ(probe_load_image(v_, image.data(), image.size()), 0);
    }
    // Each turn runs up to a millisecond's budget.
    void turns(int n = 20)
    {
        for (int i = 0; i < n; i++)
            emu_core_turn(core_, CORE_HZ / 1000, scs_now_us());
    }
    void write_word(uint32_t addr, uint32_t value)
    {
        uint8_t b[4] = {static_cast<uint8_t>(value), static_cast<uint8_t>(value >> 8),
                        static_cast<uint8_t>(value >> 16), static_cast<uint8_t>(value >> 24)};
        ASSERT_EQ(target_write(v_, addr, b, 4), STATUS_OK) << std::hex << addr;
    }
    uint32_t read_word(uint32_t addr)
    {
        uint8_t b[4] = {};
        EXPECT_EQ(target_read(v_, addr, b, 4), STATUS_OK) << std::hex << addr;
        return b[0] | b[1] << 8 | b[2] << 16 | static_cast<uint32_t>(b[3]) << 24;
    }
    // Core registers through the probe's register commands.
    uint32_t reg(uint8_t sel)
    {
        uint8_t block[CMD_SIZE] = {CMD_DEBUG, 0x33, sel};
        probe_bulk_out(v_, block, CMD_SIZE, 0);
        uint8_t reply[8] = {};
        EXPECT_EQ(probe_reply_take(v_, reply, 8), 8u);
        EXPECT_EQ(reply[0], STATUS_OK);
        return reply[4] | reply[5] << 8 | reply[6] << 16 | static_cast<uint32_t>(reply[7]) << 24;
    }
    void set_reg(uint8_t sel, uint32_t value)
    {
        uint8_t block[CMD_SIZE] = {CMD_DEBUG,
                                   0x34,
                                   sel,
                                   static_cast<uint8_t>(value),
                                   static_cast<uint8_t>(value >> 8),
                                   static_cast<uint8_t>(value >> 16),
                                   static_cast<uint8_t>(value >> 24)};
        probe_bulk_out(v_, block, CMD_SIZE, 0);
        probe_reply_discard(v_);
    }
    // Halted, with the PC on `entry`: as a debugger starts a case.
    void enter(uint32_t entry)
    {
        write_word(DHCSR, DHCSR_HALT);
        turns(1);
        ASSERT_TRUE(read_word(DHCSR) & S_HALT);
        set_reg(REGSEL_PC, entry);
        write_word(DFSR, DFSR_ALL);
    }
    bool revision2() { return (read_word(FP_CTRL) >> FP_CTRL_REV_SHIFT) == 1; }
    // The first revision's comparator for the halfword at addr (Code region).
    static uint32_t rev1_comparator(uint32_t addr)
    {
        return (addr & FP_REV1_ADDR_MASK) | (addr & 2 ? 2u : 1u) << FP_COMP_REPLACE_SHIFT;
    }
    // An FPB breakpoint on the instruction at addr, in the encoding of the
    // unit's revision (FP_CTRL.REV): the second takes the address itself.
    void break_at(uint32_t addr)
    {
        write_word(FP_CTRL, FP_CTRL_KEY | FP_CTRL_ENABLE);
        write_word(FP_COMP0, (revision2() ? addr : rev1_comparator(addr)) | FP_COMP_ENABLE);
    }
    void run_until_stopped(int n = 20)
    {
        write_word(DHCSR, DHCSR_RUN);
        turns(n);
    }

    uint8_t core_kind_ = CORE_M4; // the target's core, as a subclass sets it before SetUp
    probe_bus bus_{};
    probe_view v_{};
    emu_core *core_ = nullptr;
};

} // namespace vprobe_test
