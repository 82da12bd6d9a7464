// The sample firmware on the emulated core, debugged through the real server
// and libusb on both transports: run control, the FPB, reset with the
// vector catch, the ITM line through the trace read, and memory the
// debugger and the firmware share. Addresses and values come from the ELF.
#include <gtest/gtest.h>

#include <unistd.h>

#include <functional>
#include <string>
#include <vector>

#include "armv7m_debug.h"
#include "elf_lookup.h"
#include "usb_fixture.h"

namespace
{

using namespace armv7m;
using namespace usb_test;
using namespace tarvex_test;

constexpr int HANG_GUARD_MS = 30000;

uint32_t symbol_in(const char *elf, const char *name)
{
    tarvex_test::elf_symbol s = tarvex_test::elf_symbol_of(elf, name);
    EXPECT_TRUE(s.found) << name;
    return s.address;
}

uint32_t symbol(const char *name)
{
    return symbol_in(SAMPLE_ELF, name);
}

uint32_t word_of(const std::vector<uint8_t> &b)
{
    return b.size() < 4 ? 0 : b[0] | b[1] << 8 | b[2] << 16 | static_cast<uint32_t>(b[3]) << 24;
}

// Polls until done() holds; false when the hang guard runs out first.
bool eventually(const std::function<bool()> &done)
{
    for (int waited = 0; waited < HANG_GUARD_MS; waited += 10) {
        if (done())
            return true;
        usleep(10000);
    }
    return done();
}

class SampleFirmware : public UsbServer
{
protected:
    void SetUp() override { start_with(SAMPLE_ELF); }
    void start_with(const char *elf)
    {
        start({"--probe", std::string("firmware=") + elf});
        ASSERT_EQ(text("open-device " + hex_key(key_of(default_serial(0))) + "\n"), "1 256\n");
        ASSERT_EQ(text("tarvex-usb-init-mode 256 0 1\n"), "1 0\n");
        write_word(DHCSR, DHCSR_RUN); // halting debug on, as a debugger connects
    }
    // A word through the probe's debug-register access, which reaches RAM,
    // flash and system space alike.
    uint32_t read_word(uint32_t addr)
    {
        std::vector<std::string> f = tarvex::reply_fields(text("tarvex-tcp-read-debug-reg 256 " + hex(addr) + " 0\n"));
        EXPECT_TRUE(f.size() == 3 && f[1] == "0") << std::hex << addr;
        return static_cast<uint32_t>(tarvex::reply_number(f, 2, 16, 0));
    }
    void write_word(uint32_t addr, uint32_t value)
    {
        EXPECT_EQ(text("tarvex-tcp-write-debug-reg 256 " + hex(addr) + " " + hex(value) + " 0\n"), "1 0\n");
    }
    uint32_t reg(int sel)
    {
        std::vector<std::string> f = tarvex::reply_fields(text("tarvex-tcp-read-reg 256 " + hex(sel) + " 0\n"));
        EXPECT_TRUE(f.size() == 3 && f[1] == "0");
        return static_cast<uint32_t>(tarvex::reply_number(f, 2, 16, 0));
    }
    bool halted() { return (read_word(DHCSR) & S_HALT) != 0; }
    static std::string hex(uint32_t v)
    {
        char text[16];
        snprintf(text, sizeof(text), "%x", v);
        return text;
    }
    // Bytes written to ITM stimulus port 0: the payloads of its one-byte
    // software-source packets (header 0x01).
    static std::string port0_text(const std::vector<uint8_t> &swo)
    {
        std::string out;
        for (size_t i = 0; i + 1 < swo.size(); i += 2) {
            EXPECT_EQ(swo[i], 0x01) << "at " << i;
            out += static_cast<char>(swo[i + 1]);
        }
        return out;
    }
};

TEST_P(SampleFirmware, CounterMovesWhileRunningAndNotWhileHalted)
{
    uint32_t counter = symbol("sample_counter");
    uint32_t first = read_word(counter);
    ASSERT_TRUE(eventually([&] { return read_word(counter) > first; })) << "the firmware counts";
    write_word(DHCSR, DHCSR_HALT);
    ASSERT_TRUE(halted());
    uint32_t at_halt = read_word(counter);
    usleep(100000); // ten of the firmware's turns, were it running
    EXPECT_EQ(read_word(counter), at_halt);
    write_word(DHCSR, DHCSR_RUN);
    EXPECT_FALSE(halted());
    EXPECT_TRUE(eventually([&] { return read_word(counter) > at_halt; })) << "and counts again after run";
}

TEST_P(SampleFirmware, BreakpointOnTheTickFunctionThenStep)
{
    uint32_t tick = symbol("sample_tick");
    write_word(FP_CTRL, FP_CTRL_KEY | FP_CTRL_ENABLE);
    write_word(FP_COMP0, (tick & FP_REV1_ADDR_MASK) | (tick & 2 ? 2u : 1u) << FP_COMP_REPLACE_SHIFT | FP_COMP_ENABLE);
    ASSERT_TRUE(eventually([&] { return halted(); })) << "sample_tick runs on every turn";
    EXPECT_EQ(reg(REGSEL_PC), tick);
    EXPECT_TRUE(read_word(DFSR) & DFSR_BKPT);
    write_word(DFSR, DFSR_ALL);

    write_word(DHCSR, DHCSR_STEP);
    ASSERT_TRUE(eventually([&] { return halted(); }));
    EXPECT_EQ(reg(REGSEL_PC), elf_next_instruction(SAMPLE_ELF, tick)) << "one instruction on from the breakpoint";

    write_word(DHCSR, DHCSR_RUN);
    ASSERT_TRUE(eventually([&] { return halted() && reg(REGSEL_PC) == tick; })) << "the next turn meets it again";
    write_word(FP_COMP0, 0);
    write_word(DHCSR, DHCSR_RUN);
}

TEST_P(SampleFirmware, ResetWithTheVectorCatchHaltsOnTheResetHandler)
{
    struct reset_case {
        const char *name;
        std::function<void()> reset;
    };
    const reset_case cases[] = {
        {"probe reset command", [&] { EXPECT_EQ(text("tarvex-usb-reset 256\n"), "1 0\n"); }},
        {"AIRCR.SYSRESETREQ", [&] { write_word(AIRCR, AIRCR_VECTKEY | AIRCR_SYSRESETREQ); }},
    };
    uint32_t handler = symbol("reset_handler");
    for (const reset_case &c : cases) {
        write_word(DHCSR, DHCSR_RUN);
        write_word(DEMCR, DEMCR_VC_CORERESET);
        c.reset();
        ASSERT_TRUE(eventually([&] { return halted(); })) << c.name;
        EXPECT_EQ(reg(REGSEL_PC), handler) << c.name;
        EXPECT_EQ(reg(REGSEL_SP), symbol("_stack_top")) << c.name << ": SP from the vector table";
        write_word(DEMCR, 0);
    }
    write_word(DHCSR, DHCSR_RUN);
    uint32_t counter = symbol("sample_counter");
    EXPECT_TRUE(eventually([&] { return read_word(counter) > 0; })) << "the firmware starts over and counts";
}

// The trace endpoint is where the transports differ: this case runs on both.
class FirmwareTrace : public SampleFirmware
{
};

TEST_P(FirmwareTrace, TheItmLineArrivesThroughTheTraceRead)
{
    tarvex_test::elf_symbol banner = tarvex_test::elf_symbol_of(SAMPLE_ELF, "sample_banner");
    std::vector<uint8_t> text_bytes = elf_bytes(SAMPLE_ELF, banner.address, banner.size - 1); // without the NUL
    std::string prefix(text_bytes.begin(), text_bytes.end());
    ASSERT_FALSE(prefix.empty());
    uint32_t every = word_of(elf_bytes(SAMPLE_ELF, symbol("sample_turns_per_line"), 4));
    ASSERT_GT(every, 0u);
    ASSERT_EQ(text("tarvex-config-trace 256 1 2 1 0\n"), "1 0 2000000\n");
    std::vector<uint8_t> swo; // the whole stream: a read may end inside a packet
    std::string printed;
    bool whole_line = eventually([&] {
        int result = 0;
        std::vector<uint8_t> more;
        EXPECT_EQ(tarvex::trace_read(client_, 256, 4096, &result, &more), 0);
        swo.insert(swo.end(), more.begin(), more.end());
        printed = port0_text(swo);
        size_t at = printed.find(prefix);
        return at != std::string::npos && printed.find('\n', at) != std::string::npos;
    });
    ASSERT_TRUE(whole_line) << printed;
    size_t at = printed.find(prefix) + prefix.size();
    std::string number = printed.substr(at, printed.find('\n', at) - at);
    ASSERT_FALSE(number.empty());
    EXPECT_EQ(number.find_first_not_of("0123456789"), std::string::npos) << number;
    EXPECT_EQ(std::stoul(number) % every, 0u) << "a line every " << every << " turns: " << number;
    EXPECT_EQ(text("tarvex-config-trace 256 0 2 1 0\n"), "1 0 0\n");
}

TEST_P(SampleFirmware, TheFirmwareSeesWhatTheDebuggerWrites)
{
    uint32_t table = symbol("sample_table");
    for (uint32_t i = 0; i < 8; i++)
        EXPECT_EQ(read_word(table + 4 * i), word_of(elf_bytes(SAMPLE_ELF, table + 4 * i, 4))) << "table entry " << i;
    uint32_t counter = symbol("sample_counter");
    const uint32_t base = 0x40000000;
    write_word(counter, base);
    uint32_t seen = 0;
    EXPECT_TRUE(eventually([&] { return (seen = read_word(counter)) > base; }));
    EXPECT_LT(seen, base + 100000) << "the firmware counts on from the written value";
}

// A probe without firmware: its core locks up on the erased reset code and
// leaves the memory to the debugger; an image loaded later runs.
class BlankTarget : public SampleFirmware
{
protected:
    void SetUp() override
    {
        start({"--probes", "1"});
        ASSERT_EQ(text("open-device " + hex_key(key_of(default_serial(0))) + "\n"), "1 256\n");
    }
};

TEST_P(BlankTarget, LocksUpThenRunsTheImageTheControlChannelLoads)
{
    const uint32_t scratch = 0x20010000; // past everything the sample uses
    write_word(scratch, 0x5AA5C33C);
    EXPECT_TRUE(eventually([&] {
        return server_.control("core 0").find("run=lockup pc=00000100") != std::string::npos;
    })) << server_.control("core 0");
    EXPECT_TRUE(read_word(DHCSR) & S_LOCKUP);
    EXPECT_EQ(read_word(scratch), 0x5AA5C33Cu);

    ASSERT_EQ(server_.control(std::string("load 0 ") + SAMPLE_ELF), "ok");
    uint32_t counter = symbol("sample_counter");
    EXPECT_TRUE(eventually([&] { return read_word(counter) > 1; })) << server_.control("core 0");
    EXPECT_EQ(read_word(scratch), 0x5AA5C33Cu) << "the firmware leaves the rest of RAM alone";
    EXPECT_NE(server_.control("core 0").find("swo=itm"), std::string::npos) << "its prints go to the trace";
}

// Code on the core programs a flash word through the flash controller
// (vprobe/tests/flash_cases.S, from reset); the server reads it at once,
// through either transport's view of the shared target memory.
class BlankFlash : public BlankTarget
{
};

TEST_P(BlankFlash, AWordTheCoreProgramsIsReadThroughTheServer)
{
    const uint32_t word_at = 0x3FFF0;
    EXPECT_EQ(read_word(word_at), 0xFFFFFFFFu) << "erased";
    ASSERT_EQ(server_.control(std::string("load 0 ") + FLASH_CASES_ELF), "ok");
    EXPECT_TRUE(eventually([&] { return read_word(word_at) == 0x600DF1A5u; })) << server_.control("flash 0");
    EXPECT_EQ(server_.control("flash 0").rfind("ok stat=00000000 addr=0003fff4 words=1 erase_alls=0 erases=0,", 0), 0u)
        << server_.control("flash 0");
}

// The core runs in the launcher on either transport.
// The exception test firmware (vprobe/firmware/exceptions.c) from reset:
// what its handlers saw, read through the server.
class ExceptionFirmware : public SampleFirmware
{
protected:
    void SetUp() override { start_with(EXCEPTIONS_ELF); }
    uint32_t var(const char *name, uint32_t index = 0)
    {
        return read_word(symbol_in(EXCEPTIONS_ELF, name) + 4 * index);
    }
};

TEST_P(ExceptionFirmware, HandlersRunByPriorityNestAndTailChain)
{
    ASSERT_TRUE(eventually([&] { return var("exc_done") == 1; })) << "pc " << std::hex << reg(REGSEL_PC);
    std::vector<uint32_t> order;
    for (uint32_t i = 0; i < var("exc_order_n"); i++)
        order.push_back(var("exc_order", i));
    // SVC, PendSV, IRQ 0 with IRQ 1 nested in it, IRQ 2 with PendSV
    // chained to it (pended together under PRIMASK), IRQ 3 once BASEPRI fell.
    EXPECT_EQ(order, (std::vector<uint32_t>{11, 14, 16, 17, 18, 14, 19}));
    EXPECT_LT(var("exc_order_sp", 3), var("exc_order_sp", 2)) << "IRQ 1's frame below IRQ 0's";
    EXPECT_EQ(var("exc_order_sp", 4), var("exc_order_sp", 5)) << "tail-chained: no frame between";
    EXPECT_EQ(var("exc_nested"), 1u);
    EXPECT_EQ(var("exc_basepri_held"), 1u);
    EXPECT_EQ(var("exc_svc_number"), 42u);
    EXPECT_EQ(var("exc_hardfault"), 1u);
    EXPECT_EQ(var("exc_fault_pc"), symbol_in(EXCEPTIONS_ELF, "exc_fault_at"));
    EXPECT_EQ(var("exc_hfsr"), 1u << 30) << "FORCED";
    EXPECT_EQ(var("exc_cfsr"), CFSR_PRECISERR | CFSR_BFARVALID);
    // The priorities as the firmware's byte stores left them.
    EXPECT_EQ(read_word(0xE000ED20), 0x40E00000u) << "SHPR3: SysTick 0x40, PendSV 0xE0";
    EXPECT_EQ(read_word(0xE000E400), 0xA0604080u) << "NVIC_IPR0";
    EXPECT_EQ(read_word(0xE000E100), 0xFu) << "NVIC_ISER";
    EXPECT_EQ(read_word(0xE000ED08), symbol_in(EXCEPTIONS_ELF, "exc_vectors")) << "VTOR";
}

TEST_P(ExceptionFirmware, TheSysTickHandlerCountsWhileRunningAndNotWhileHalted)
{
    ASSERT_TRUE(eventually([&] { return var("exc_ticks") > 20; }));
    write_word(DHCSR, DHCSR_HALT);
    ASSERT_TRUE(halted());
    uint32_t at_halt = var("exc_ticks");
    usleep(50000); // fifty ticks, were it running
    EXPECT_EQ(var("exc_ticks"), at_halt) << "the SysTick stops with the core";
    write_word(DHCSR, DHCSR_RUN);
    EXPECT_TRUE(eventually([&] { return var("exc_ticks") > at_halt + 20; }));
}

// Each tick interrupts floating-point thread code, and its handler does
// floating-point work on the same registers: the entry defers their
// stacking, the handler's first floating-point instruction stores them,
// the return brings them back, so the thread never finds them changed.
TEST_P(ExceptionFirmware, AHandlersFloatingPointWorkLeavesTheThreadsRegisters)
{
    ASSERT_TRUE(eventually([&] { return var("exc_fp_checks") > 20 && var("exc_fp_deferred") > 20; }))
        << var("exc_fp_checks") << " checks, " << var("exc_fp_deferred") << " deferred";
    EXPECT_EQ(var("exc_fp_corrupt"), 0u) << "the thread's S0 and S1 after a tick";
    EXPECT_EQ(var("exc_fp_unstored"), 0u) << "the deferred state stored at the handler's first use";
    EXPECT_EQ(var("exc_fp_product"), 0x41100000u) << "9.0f";
    EXPECT_EQ(read_word(0xE000EF34) & 0xC0000000u, 0xC0000000u) << "FPCCR: ASPEN and LSPEN as from reset";
}

INSTANTIATE_TEST_SUITE_P(Transports, ExceptionFirmware, ::testing::Values("umockdev", "fast"), transport_name);
INSTANTIATE_TEST_SUITE_P(Fast, SampleFirmware, ::testing::Values("fast"), transport_name);
INSTANTIATE_TEST_SUITE_P(Transports, FirmwareTrace, ::testing::Values("umockdev", "fast"), transport_name);
INSTANTIATE_TEST_SUITE_P(Fast, BlankTarget, ::testing::Values("fast"), transport_name);
INSTANTIATE_TEST_SUITE_P(Transports, BlankFlash, ::testing::Values("umockdev", "fast"), transport_name);

} // namespace
