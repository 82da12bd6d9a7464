// The flash controller (flash_regs.h) driven by code on the emulated core
// (flash_cases.S) and by the debugger, through the probe model.
#include <cstring>

#include "core_fixture.h"
#include "flash_regs.h"
#include "target_flash.h"

using namespace vprobe_test;

namespace
{

constexpr uint32_t OPEN = 0; // no error bit, not busy, not locked

uint32_t symbol(const char *name)
{
    return elf_address(FLASH_CASES_ELF, name);
}

class Flash : public CoreFixture
{
protected:
    void SetUp() override
    {
        CoreFixture::SetUp();
        load_image(FLASH_CASES_ELF);
    }
    // Runs case `name` with R0, R1 until its BKPT; from a copy in RAM
    // `at` bytes above the flash base, when the case erases its own code.
    void run_case(const char *name, uint32_t r0, uint32_t r1, int n = 20, uint32_t at = 0)
    {
        enter(symbol(name) + at);
        set_reg(0, r0);
        set_reg(1, r1);
        run_until_stopped(n);
        ASSERT_TRUE(read_word(DHCSR) & S_HALT) << name;
    }
    void unlock() { run_case("case_unlock", FLC_KEY_FIRST, FLC_KEY_SECOND); }
    uint32_t stat() { return read_word(FLC_BASE + FLC_STAT); }
    uint32_t flash_word(uint32_t addr)
    {
        uint32_t w = 0;
        std::memcpy(&w, v_.flash + addr, 4);
        return w;
    }
    const flash_ctl &ctl() const { return v_.rec->st.flash; }
};

TEST(FlashLayout, SmallSectorsFirstThenLarger)
{
    struct row {
        uint32_t offset, start, size, index;
    };
    const row rows[] = {
        {0x0, 0x0, 0x1000, 0},       {0x7FFF, 0x7000, 0x1000, 7},     {0x8000, 0x8000, 0x4000, 8},
        {0xC004, 0xC000, 0x4000, 9}, {0x10000, 0x10000, 0x10000, 10}, {0x3FFFF, 0x30000, 0x10000, 12},
    };
    for (const row &r : rows) {
        flash_sector s = flash_sector_at(256 * 1024, r.offset);
        EXPECT_EQ(s.offset, r.start) << std::hex << r.offset;
        EXPECT_EQ(s.size, r.size) << std::hex << r.offset;
        EXPECT_EQ(flash_sector_index(256 * 1024, r.offset), r.index) << std::hex << r.offset;
    }
    EXPECT_EQ(flash_sector_count(256 * 1024), 13u);
    EXPECT_EQ(flash_sector_at(256 * 1024, 0x40000).size, 0u) << "nothing past the end";
    EXPECT_EQ(flash_sector_at(0x12000, 0x11000).size, 0x2000u) << "the last sector ends with the flash";
}

TEST_F(Flash, LockedAfterResetThenTheKeysOpenIt)
{
    EXPECT_EQ(stat(), uint32_t{FLC_STAT_LOCKED});
    run_case("case_identity", 0, 0);
    EXPECT_EQ(reg(0), uint32_t{FLC_DEVID_VALUE});
    EXPECT_EQ(reg(1), 256u * 1024);
    unlock();
    EXPECT_EQ(reg(2), OPEN);
}

TEST_F(Flash, AWrongKeyLocksUntilTheNextReset)
{
    struct row {
        uint32_t first, second;
    };
    const row rows[] = {{FLC_KEY_SECOND, FLC_KEY_FIRST}, {FLC_KEY_FIRST, 0}, {0, FLC_KEY_SECOND}};
    for (const row &r : rows) {
        probe_core_reset(v_);
        run_case("case_unlock", r.first, r.second);
        EXPECT_EQ(reg(2), uint32_t{FLC_STAT_LOCKED | FLC_STAT_KEYFAIL}) << std::hex << r.first;
        run_case("case_unlock", FLC_KEY_FIRST, FLC_KEY_SECOND);
        EXPECT_EQ(reg(2), uint32_t{FLC_STAT_LOCKED | FLC_STAT_KEYFAIL}) << "the right keys no longer open it";
        run_case("case_program", 0x1000, 0);
        EXPECT_EQ(reg(2) & FLC_STAT_ERR_LOCK, uint32_t{FLC_STAT_ERR_LOCK});
        EXPECT_EQ(flash_word(0x1000), 0xFFFFFFFFu);
    }
    probe_core_reset(v_);
    unlock();
    EXPECT_EQ(reg(2), OPEN) << "a reset takes the keys again";
}

TEST_F(Flash, ProgrammingClearsBitsAndHoldsBusyForItsCycles)
{
    unlock();
    run_case("case_program", 0x2000, 0x12345678);
    EXPECT_EQ(reg(2), OPEN);
    // Four instructions a poll, FLC_PROGRAM_CYCLES of busy from the store on.
    EXPECT_GE(reg(5), uint32_t{FLC_PROGRAM_CYCLES / 4 - 1});
    EXPECT_LE(reg(5), uint32_t{FLC_PROGRAM_CYCLES / 4 + 2});
    EXPECT_EQ(read_word(0x2000), 0x12345678u) << "the debugger reads it at once";
    run_case("case_program", 0x2000, 0x12345670);
    EXPECT_EQ(reg(2), OPEN) << "clearing more bits is allowed";
    EXPECT_EQ(read_word(0x2000), 0x12345670u);
    EXPECT_EQ(ctl().words_programmed, 2u);
}

TEST_F(Flash, ErrorsLeaveFlashAloneAndClearWhenWritten)
{
    unlock();
    run_case("case_program", 0x2000, 0x0000FFFF);
    struct row {
        uint32_t addr, value, error;
    };
    const row rows[] = {
        {0x2000, 0x0001FFFF, FLC_STAT_ERR_PROG}, // a 0 -> 1 change
        {0x40000, 0, FLC_STAT_ERR_ADDR},         // past the end
        {0x2002, 0, FLC_STAT_ERR_ADDR},          // not a word
        {0x20000000, 0, FLC_STAT_ERR_ADDR},      // RAM
    };
    for (const row &r : rows) {
        run_case("case_program", r.addr, r.value);
        EXPECT_EQ(reg(2), r.error) << std::hex << r.addr;
        write_word(FLC_BASE + FLC_STAT, FLC_STAT_ERRORS);
        EXPECT_EQ(stat(), OPEN) << "error bits clear when written as one";
    }
    EXPECT_EQ(flash_word(0x2000), 0x0000FFFFu);
    EXPECT_EQ(ctl().words_programmed, 1u);
    run_case("case_erase", 0x40000, FLC_CMD_ERASE_SECTOR);
    EXPECT_EQ(reg(2), uint32_t{FLC_STAT_ERR_ADDR});
    run_case("case_erase", 0, 0x1234);
    EXPECT_EQ(reg(2), uint32_t{FLC_STAT_ERR_ADDR | FLC_STAT_ERR_CMD});
}

TEST_F(Flash, SectorEraseTouchesItsSectorOnlyAndCountsIt)
{
    unlock();
    for (uint32_t addr : {0x7FFCu, 0x8000u, 0xBFFCu, 0xC000u, 0x10000u})
        run_case("case_program", addr, 0);
    struct row {
        uint32_t addr, sector, polls_min; // polls: four cycles each
    };
    const row rows[] = {{0x7123, 7, 900}, {0x8004, 8, 3900}};
    for (const row &r : rows) {
        run_case("case_erase", r.addr, FLC_CMD_ERASE_SECTOR);
        EXPECT_EQ(reg(2), OPEN);
        EXPECT_GE(reg(5), r.polls_min) << std::hex << r.addr;
        EXPECT_EQ(ctl().sector_erases[r.sector], 1u);
    }
    EXPECT_EQ(flash_word(0x7FFC), 0xFFFFFFFFu);
    EXPECT_EQ(flash_word(0x8000), 0xFFFFFFFFu);
    EXPECT_EQ(flash_word(0xBFFC), 0xFFFFFFFFu);
    EXPECT_EQ(flash_word(0xC000), 0u) << "the next sector keeps its words";
    EXPECT_EQ(flash_word(0x10000), 0u);
    EXPECT_EQ(flash_word(0), uint32_t{0x20000000 + 128 * 1024}) << "the vector table stays";
}

TEST_F(Flash, EraseAllBlanksTheFlashAndCountsEverySector)
{
    unlock();
    // The cases are position independent: a copy of the code runs from RAM.
    constexpr uint32_t CODE_BYTES = 0x1000;
    constexpr uint32_t RAM_COPY = 0x20010000;
    ASSERT_EQ(target_write(v_, RAM_COPY, v_.flash, CODE_BYTES), STATUS_OK);
    run_case("case_erase", 0, FLC_CMD_ERASE_ALL, 40, RAM_COPY);
    EXPECT_EQ(reg(2), OPEN);
    EXPECT_GE(reg(5), uint32_t{FLC_ERASE_ALL_CYCLES / 4 - 2});
    for (uint32_t i = 0; i < v_.rec->cfg.flash_size; i++)
        ASSERT_EQ(v_.flash[i], FLC_ERASED_BYTE) << i;
    EXPECT_EQ(ctl().erase_alls, 1u);
    EXPECT_EQ(ctl().sector_erases[0], 1u);
    EXPECT_EQ(ctl().sector_erases[12], 1u);
}

TEST_F(Flash, BusyHoldsWhileTheCoreIsHaltedAndRefusesWrites)
{
    unlock();
    enter(symbol("case_erase"));
    set_reg(0, 0x30000);
    set_reg(1, FLC_CMD_ERASE_SECTOR);
    write_word(DHCSR, DHCSR_RUN);
    turns(2); // 8000 of the 64000 cycles
    write_word(DHCSR, DHCSR_HALT);
    turns(1);
    EXPECT_TRUE(stat() & FLC_STAT_BUSY) << "the controller counts the core's cycles";
    write_word(FLC_BASE + FLC_ADDR, 0x1000);
    EXPECT_EQ(stat() & FLC_STAT_ERR_BUSY, uint32_t{FLC_STAT_ERR_BUSY}) << "the debugger writes it as a busy register";
    EXPECT_NE(read_word(FLC_BASE + FLC_ADDR), 0x1000u);
}

TEST_F(Flash, NeitherTheBusNorTheCoreStoresIntoFlash)
{
    uint8_t word[4] = {0, 0, 0, 0};
    EXPECT_EQ(target_write(v_, 0x3000, word, 4), STATUS_SWD_FAULT);
    write_word(CFSR, 0xFFFFFFFF);
    enter(symbol("case_store"));
    set_reg(0, 0x3000);
    set_reg(1, 0);
    run_until_stopped();
    EXPECT_TRUE(read_word(DHCSR) & S_LOCKUP);
    EXPECT_TRUE(read_word(CFSR) & CFSR_PRECISERR);
    EXPECT_EQ(read_word(BFAR), 0x3000u);
    EXPECT_EQ(flash_word(0x3000), 0xFFFFFFFFu);
}

TEST_F(Flash, TheResetCodeProgramsItsWordThenRuns)
{
    probe_core_reset(v_);
    turns(2);
    EXPECT_EQ(read_word(0x3FFF0), 0x600DF1A5u);
    EXPECT_EQ(stat(), OPEN);
    EXPECT_GT(reg(0), 0u) << "the core runs on after programming";
}

} // namespace
