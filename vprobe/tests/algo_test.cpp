// The flash algorithm the build makes (vprobe/firmware/flash_algo.c) and
// the loader's helper, run on the emulated core the way a loader runs them:
// loaded into RAM at two different addresses, R9 at the data, a BKPT as
// the return address. Its broken variants fail as they are built to.
#include <cstring>

#include "core_fixture.h"
#include "flash_algo.h"
#include "flash_regs.h"

using namespace vprobe_test;

namespace
{

constexpr uint32_t TRAP = 0x20000000; // a BKPT: every call returns here
constexpr uint32_t LOAD = 0x20000100;
constexpr uint32_t OTHER_LOAD = 0x20010000;
constexpr uint32_t BUFFER = 0x20004000;
constexpr uint32_t HELPER_AT = 0x20006000;
constexpr uint32_t LIST = 0x20006800;
constexpr uint32_t PAGE_CALL = 0x20006C00;
constexpr uint32_t STACK_TOP = 0x20008000;
constexpr uint32_t PAGE = 1024;

std::vector<uint8_t> file_bytes(const char *path)
{
    std::ifstream in(path, std::ios::binary);
    return std::vector<uint8_t>((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
}

class Algo : public CoreFixture
{
protected:
    void SetUp() override
    {
        CoreFixture::SetUp();
        write_word(DHCSR, DHCSR_HALT);
        turns(1);
        uint8_t bkpt[2] = {0x00, 0xBE};
        ASSERT_EQ(target_write(v_, TRAP, bkpt, 2), STATUS_OK);
        load(FLASH_ALGO_FLM, LOAD);
    }
    void load(const char *path, uint32_t at)
    {
        std::vector<uint8_t> flm = file_bytes(path);
        std::string why;
        ASSERT_EQ(tarvex_images::flash_algo_parse(flm.data(), flm.size(), algo_, &why), 0) << why;
        std::vector<uint8_t> image = tarvex_images::flash_algo_image(algo_);
        ASSERT_EQ(target_write(v_, at, image.data(), static_cast<uint32_t>(image.size())), STATUS_OK);
        load_at_ = at;
        algo_at_ = at;
    }
    // Calls the function at `entry` (from the load address) and runs until
    // the core stops; returns R0. *stopped_at: the PC where it stopped.
    uint32_t call(uint32_t entry, uint32_t r0, uint32_t r1 = 0, uint32_t r2 = 0, uint32_t r3 = 0, int n = 40)
    {
        enter(load_at_ + entry);
        const uint32_t regs[][2] = {{0, r0},
                                    {1, r1},
                                    {2, r2},
                                    {3, r3},
                                    {REGSEL_SP, STACK_TOP},
                                    {REGSEL_LR, TRAP | 1},
                                    {9, algo_at_ + algo_.data_offset},
                                    {REGSEL_XPSR, XPSR_THUMB}};
        for (const auto &r : regs)
            set_reg(static_cast<uint8_t>(r[0]), r[1]);
        run_until_stopped(n);
        stopped_at_ = reg(REGSEL_PC);
        return reg(0);
    }
    void put_buffer(const std::vector<uint8_t> &b)
    {
        ASSERT_EQ(target_write(v_, BUFFER, b.data(), static_cast<uint32_t>(b.size())), STATUS_OK);
    }
    bool flash_equals(uint32_t addr, const std::vector<uint8_t> &b)
    {
        return std::memcmp(v_.flash + addr, b.data(), b.size()) == 0;
    }

    tarvex_images::flash_algo algo_{};
    uint32_t load_at_ = 0; // what call() calls into
    uint32_t algo_at_ = 0; // the algorithm, whose data R9 points at
    uint32_t stopped_at_ = 0;
};

std::vector<uint8_t> pattern(size_t n, uint8_t seed)
{
    std::vector<uint8_t> b(n);
    for (size_t i = 0; i < n; i++)
        b[i] = static_cast<uint8_t>(seed + i * 7);
    return b;
}

TEST_F(Algo, ErasesProgramsAndVerifiesAPage)
{
    ASSERT_EQ(call(algo_.init, 0, CORE_HZ, 2), 0u);
    EXPECT_EQ(stopped_at_, TRAP);
    EXPECT_EQ(read_word(FLC_BASE + FLC_STAT) & FLC_STAT_LOCKED, 0u) << "Init opens the controller";
    std::vector<uint8_t> page = pattern(PAGE, 3);
    put_buffer(page);
    EXPECT_EQ(call(algo_.erase_sector, 0x8000), 0u);
    EXPECT_EQ(v_.rec->st.flash.sector_erases[8], 1u);
    EXPECT_EQ(call(algo_.blank_check, 0x8000, 0x4000, 0xFF), 0u);
    EXPECT_EQ(call(algo_.program_page, 0x8000, PAGE, BUFFER), 0u);
    EXPECT_TRUE(flash_equals(0x8000, page));
    EXPECT_EQ(call(algo_.blank_check, 0x8000, 0x4000, 0xFF), 1u);
    EXPECT_EQ(call(algo_.verify, 0x8000, PAGE, BUFFER), 0x8000u + PAGE);
    uint8_t changed = static_cast<uint8_t>(page[100] ^ 0xFF);
    ASSERT_EQ(target_write(v_, BUFFER + 100, &changed, 1), STATUS_OK);
    EXPECT_EQ(call(algo_.verify, 0x8000, PAGE, BUFFER), 0x8000u + 100) << "the first address that differs";
    EXPECT_EQ(call(algo_.program_page, 0x8000, PAGE, BUFFER), 1u) << "a 0 -> 1 change fails";
    EXPECT_EQ(call(algo_.uninit, 2), 0u);
    EXPECT_TRUE(read_word(FLC_BASE + FLC_STAT) & FLC_STAT_LOCKED) << "UnInit locks it again";
}

TEST_F(Algo, AShortPageLeavesTheRestOfItsLastWordErased)
{
    ASSERT_EQ(call(algo_.init, 0, CORE_HZ, 2), 0u);
    put_buffer({0x11, 0x22, 0x33, 0x44, 0x55, 0x66});
    EXPECT_EQ(call(algo_.program_page, 0x1000, 6, BUFFER), 0u);
    EXPECT_TRUE(flash_equals(0x1000, {0x11, 0x22, 0x33, 0x44, 0x55, 0x66, 0xFF, 0xFF}));
    EXPECT_EQ(v_.rec->st.flash.words_programmed, 2u);
}

TEST_F(Algo, RunsAlikeWhereverItIsLoadedAndKeepsItsDataAtR9)
{
    EXPECT_EQ(call(algo_.erase_sector, 0x1000), 1u) << "before Init: the zeroed data says not open";
    load(FLASH_ALGO_FLM, OTHER_LOAD);
    ASSERT_EQ(call(algo_.init, 0, CORE_HZ, 1), 0u);
    EXPECT_EQ(stopped_at_, TRAP);
    EXPECT_EQ(call(algo_.erase_chip, 0, 0, 0, 0, 60), 0u);
    EXPECT_EQ(v_.rec->st.flash.erase_alls, 1u);
    EXPECT_EQ(read_word(OTHER_LOAD + algo_.data_offset), 0u) << "Init kept the flash base in its data";
    EXPECT_EQ(read_word(OTHER_LOAD + algo_.data_offset + 4), 1u) << "and the function in its zeroed part";
}

class Helper : public Algo
{
protected:
    void SetUp() override
    {
        Algo::SetUp();
        std::vector<uint8_t> blob = file_bytes(FLASH_HELPER_BIN);
        ASSERT_FALSE(blob.empty());
        ASSERT_EQ(target_write(v_, HELPER_AT, blob.data(), static_cast<uint32_t>(blob.size())), STATUS_OK);
    }
    uint32_t helper(uint32_t entry, uint32_t r0, uint32_t r1, uint32_t r2 = 0, uint32_t r3 = 0)
    {
        load_at_ = HELPER_AT;
        uint32_t r = call(entry, r0, r1, r2, r3);
        load_at_ = algo_at_;
        return r;
    }
};

TEST_F(Helper, ChecksumsEachRangeOfItsListAsTheLoaderDoes)
{
    std::vector<uint8_t> data = pattern(4096, 9);
    put_buffer(data);
    const uint32_t ranges[][2] = {{BUFFER, 4096}, {0, 0x1000}, {BUFFER + 1, 13}, {BUFFER + 2, 2}, {BUFFER, 0}};
    std::vector<uint32_t> list;
    for (const auto &r : ranges)
        list.insert(list.end(), {r[0], r[1], 0xDEADBEEF});
    ASSERT_EQ(
        target_write(v_, LIST, reinterpret_cast<const uint8_t *>(list.data()), static_cast<uint32_t>(list.size() * 4)),
        STATUS_OK);
    EXPECT_EQ(helper(0, LIST, 5), 0u);
    EXPECT_EQ(stopped_at_, TRAP);
    for (size_t i = 0; i < 5; i++) {
        uint32_t a = ranges[i][0];
        const uint8_t *host = a >= BUFFER ? data.data() + (a - BUFFER) : v_.flash + a;
        EXPECT_EQ(read_word(LIST + static_cast<uint32_t>(i) * 12 + 8),
                  tarvex_images::flash_checksum(host, ranges[i][1]))
            << "range " << i;
    }
}

TEST_F(Helper, ProgramsABufferPageByPageAndStopsAtTheFirstFailure)
{
    ASSERT_EQ(call(algo_.init, 0, CORE_HZ, 2), 0u);
    ASSERT_EQ(call(algo_.erase_sector, 0x8000), 0u);
    const uint32_t page_call[3] = {(algo_at_ + algo_.program_page) | 1, PAGE, 0};
    ASSERT_EQ(target_write(v_, PAGE_CALL, reinterpret_cast<const uint8_t *>(page_call), 12), STATUS_OK);
    std::vector<uint8_t> data = pattern(3 * PAGE + 100, 4);
    put_buffer(data);
    EXPECT_EQ(helper(4, 0x8000, 3 * PAGE + 100, BUFFER, PAGE_CALL), 3 * PAGE + 100) << "the bytes programmed";
    EXPECT_EQ(reg(1), 0u) << "no ProgramPage failed";
    EXPECT_EQ(stopped_at_, TRAP);
    EXPECT_TRUE(flash_equals(0x8000, data));
    data[PAGE + 5] ^= 0xFF; // a 0 -> 1 change somewhere: the second page fails
    put_buffer(data);
    EXPECT_EQ(helper(4, 0x8000, 3 * PAGE + 100, BUFFER, PAGE_CALL), PAGE);
    EXPECT_EQ(reg(1), 1u) << "what ProgramPage answered";
}

// With Verify's entry in its words the loop checks each page right after
// programming it: an algorithm whose ProgramPage succeeds with a wrong word
// is caught at the first differing byte, R1 = 0 telling it from a failed
// ProgramPage.
TEST_F(Helper, VerifiesEachPageItProgramsWhenGivenVerify)
{
    struct row {
        const char *path;
        bool verify;
        uint32_t done; // R0
    };
    const uint32_t len = 3 * PAGE + 100;
    const row rows[] = {
        {FLASH_ALGO_FLM, true, len},
        {FAULT_WRONG_WORD_FLM, true, 16}, // the fifth word's lowest set bit lies in its first byte
        {FAULT_WRONG_WORD_FLM, false, len},
    };
    std::vector<uint8_t> data = pattern(len, 4);
    uint32_t addr = 0x8000;
    for (const row &r : rows) {
        SCOPED_TRACE(std::string(r.path) + (r.verify ? " verifying" : " not verifying"));
        load(r.path, LOAD);
        ASSERT_EQ(call(algo_.init, 0, CORE_HZ, 2), 0u);
        const uint32_t page_call[3] = {(algo_at_ + algo_.program_page) | 1, PAGE,
                                       r.verify ? (algo_at_ + algo_.verify) | 1 : 0};
        ASSERT_EQ(target_write(v_, PAGE_CALL, reinterpret_cast<const uint8_t *>(page_call), 12), STATUS_OK);
        put_buffer(data);
        EXPECT_EQ(helper(4, addr, len, BUFFER, PAGE_CALL), r.done);
        EXPECT_EQ(reg(1), 0u) << "every ProgramPage succeeded";
        EXPECT_EQ(stopped_at_, TRAP);
        addr += 0x1000;
    }
}

TEST_F(Helper, ErasesEachSectorOfItsListAndStopsAtTheFirstFailure)
{
    ASSERT_EQ(call(algo_.init, 0, CORE_HZ, 1), 0u);
    const uint32_t list[] = {0x1000, 0x2000, 0x50000, 0x3000}; // the third lies outside the flash
    ASSERT_EQ(target_write(v_, LIST, reinterpret_cast<const uint8_t *>(list), sizeof(list)), STATUS_OK);
    EXPECT_EQ(helper(8, LIST, 2, (algo_at_ + algo_.erase_sector) | 1), 2u) << "both sectors erased";
    EXPECT_EQ(reg(1), 0u);
    EXPECT_EQ(helper(8, LIST, 4, (algo_at_ + algo_.erase_sector) | 1), 2u) << "stopped at the third";
    EXPECT_EQ(reg(1), 1u) << "what EraseSector answered";
    EXPECT_EQ(v_.rec->st.flash.sector_erases[1], 2u);
    EXPECT_EQ(v_.rec->st.flash.sector_erases[2], 2u);
    EXPECT_EQ(v_.rec->st.flash.sector_erases[3], 0u) << "nothing after the failure";
}

TEST_F(Algo, TheBrokenVariantsFailAsBuilt)
{
    struct row {
        const char *path;
        uint32_t dhcsr_bit; // how the core ends up (S_HALT at the trap, S_LOCKUP, or 0: still running)
        uint32_t result;    // R0 when halted at the trap
    };
    const row rows[] = {
        {FAULT_RETURN_ONE_FLM, S_HALT, 1}, {FAULT_NO_RETURN_FLM, 0, 0},      {FAULT_LOCKUP_FLM, S_LOCKUP, 0},
        {FAULT_STACK_FLM, S_HALT, 0},      {FAULT_OUTSIDE_FLM, S_LOCKUP, 0},
    };
    std::vector<uint8_t> page = pattern(PAGE, 5);
    uint32_t addr = 0x2000;
    for (const row &r : rows) {
        bool stack = r.path == std::string(FAULT_STACK_FLM);
        addr += PAGE; // a page of its own: the stack variant programs it
        probe_core_reset(v_);
        write_word(DHCSR, DHCSR_HALT);
        turns(1);
        load(r.path, LOAD);
        put_buffer(page);
        ASSERT_EQ(call(algo_.init, 0, CORE_HZ, 2), 0u) << r.path;
        uint32_t guard = STACK_TOP - 0x400;
        write_word(guard, 0x5AFE5AFE);
        uint32_t r0 = r.path == std::string(FAULT_RETURN_ONE_FLM) ? call(algo_.erase_sector, addr)
                                                                  : call(algo_.program_page, addr, PAGE, BUFFER);
        EXPECT_EQ(read_word(DHCSR) & (S_HALT | S_LOCKUP), r.dhcsr_bit) << r.path;
        if (r.dhcsr_bit == S_HALT) {
            EXPECT_EQ(stopped_at_, TRAP) << r.path;
            EXPECT_EQ(r0, r.result) << r.path;
        }
        if (r.path == std::string(FAULT_OUTSIDE_FLM)) {
            EXPECT_EQ(read_word(BFAR), 0x40000u) << "a store past the end of the flash";
        }
        EXPECT_EQ(read_word(guard) != 0x5AFE5AFEu, stack) << r.path << ": the guard word below the stack";
        write_word(DHCSR, DHCSR_HALT);
        turns(1);
        EXPECT_EQ(flash_equals(addr, page), stack) << r.path << ": only the stack variant programs its page";
    }
}

} // namespace
