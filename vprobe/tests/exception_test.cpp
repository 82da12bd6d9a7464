// Exception entry and return on the emulated core against exception_cases.s:
// frames as stacked (values, EXC_RETURN, alignment padding), priorities,
// masking, tail-chaining, escalation, lockup, vector catch and stepping,
// driven through the probe model as a debugger drives it.
#include <ostream>
#include <string>
#include <vector>

#include "core_exceptions.h"
#include "core_fixture.h"

using namespace armv7m;
using namespace vprobe;

namespace
{

constexpr uint32_t PENDSVSET = 1u << 28;
constexpr uint32_t PENDSTSET = 1u << 26;
constexpr uint32_t USGFAULTENA = 1u << 18;
constexpr uint32_t STACK = 0x20008000;
constexpr uint32_t CONTROL_SPSEL = 2u << 24; // in the special register word

uint32_t symbol(const char *name)
{
    return vprobe_test::elf_address(EXCEPTION_CASES_ELF, name);
}

struct log_entry {
    uint32_t ipsr, sp;
    bool operator==(const log_entry &o) const { return ipsr == o.ipsr && sp == o.sp; }
};

// Every case on each core with the FPU these cases use.
class Exceptions : public vprobe_test::CoreFixture, public ::testing::WithParamInterface<const char *>
{
protected:
    void SetUp() override
    {
        core_kind_ = static_cast<uint8_t>(core_kind_named(GetParam()));
        CoreFixture::SetUp();
        load_image(EXCEPTION_CASES_ELF);
    }
    // Halted at the case's entry on a fresh main stack, Thread mode.
    void start(const char *name, uint32_t sp = STACK)
    {
        enter(symbol(name));
        write_word(AIRCR, AIRCR_VECTKEY | 2); // VECTCLRACTIVE: what the last case left active
        set_reg(REGSEL_SPECIAL, 0);
        set_reg(REGSEL_XPSR, XPSR_THUMB);
        set_reg(REGSEL_MSP, sp);
        write_word(symbol("log_count"), 0);
    }
    uint32_t ipsr() { return reg(REGSEL_XPSR) & 0x1FF; }
    std::vector<uint32_t> words_at(uint32_t at, uint32_t n)
    {
        std::vector<uint32_t> w;
        for (uint32_t i = 0; i < n; i++)
            w.push_back(read_word(at + 4 * i));
        return w;
    }
    std::vector<uint32_t> frame_at(uint32_t at) { return words_at(at, 8); }
    std::vector<log_entry> log()
    {
        std::vector<log_entry> out;
        uint32_t n = read_word(symbol("log_count"));
        for (uint32_t i = 0; i < n && i < 16; i++)
            out.push_back({read_word(symbol("log_entries") + 8 * i), read_word(symbol("log_entries") + 8 * i + 4)});
        return out;
    }
    // Past a BKPT the core halted on.
    void resume_past_bkpt()
    {
        write_word(DFSR, DFSR_ALL);
        set_reg(REGSEL_PC, reg(REGSEL_PC) + 2);
        run_until_stopped();
    }
    void halted_at(const char *label)
    {
        ASSERT_TRUE(read_word(DHCSR) & S_HALT) << label;
        EXPECT_EQ(reg(REGSEL_PC), symbol(label)) << label;
    }
};

// SVC from Thread mode on the main stack, with SP 8-aligned and not: the
// basic frame, padded to 8 with xPSR bit 9 telling, LR 0xFFFFFFF9; the
// return restores what the handler clobbered and the SP to the word.
TEST_P(Exceptions, SvcStacksTheBasicFrameAndReturnsThroughLr)
{
    for (uint32_t sp : {STACK, STACK - 4}) {
        start("case_svc", sp);
        set_reg(REGSEL_LR, 0x1235);
        run_until_stopped();
        halted_at("svc_handler");
        EXPECT_EQ(ipsr(), uint32_t{EXC_SVCALL});
        EXPECT_EQ(reg(REGSEL_LR), 0xFFFFFFF9u);
        uint32_t frame = (sp - 0x20) & ~7u;
        EXPECT_EQ(reg(REGSEL_SP), frame) << std::hex << sp;
        EXPECT_EQ(reg(REGSEL_MSP), frame);
        std::vector<uint32_t> want = {
            0xA0, 0xA1, 0xA2, 0xA3, 0xAC, 0x1235, symbol("after_svc"), XPSR_THUMB | (sp & 4 ? 1u << 9 : 0)};
        EXPECT_EQ(frame_at(frame), want) << std::hex << sp;
        EXPECT_EQ(read_word(ICSR) & 0x1FF, uint32_t{EXC_SVCALL}) << "VECTACTIVE";
        EXPECT_TRUE(read_word(ICSR) & (1u << 11)) << "RETTOBASE: nothing else active";

        resume_past_bkpt();
        halted_at("after_svc");
        EXPECT_EQ(ipsr(), 0u);
        EXPECT_EQ(reg(REGSEL_SP), sp) << "unstacked, padding and all";
        EXPECT_EQ(reg(0), 0xA0u);
        EXPECT_EQ(reg(3), 0xA3u);
        EXPECT_EQ(reg(12), 0xACu);
        EXPECT_EQ(reg(REGSEL_LR), 0x1235u);
        EXPECT_EQ(read_word(SHCSR) & (1u << 7), 0u) << "SVCALLACT clear after the return";
    }
}

TEST_P(Exceptions, ThreadCodeOnThePspStacksThereAndReturnsThere)
{
    start("case_svc");
    const uint32_t psp = 0x20006000;
    set_reg(REGSEL_PSP, psp);
    set_reg(REGSEL_SPECIAL, CONTROL_SPSEL);
    EXPECT_EQ(reg(REGSEL_SP), psp) << "SP follows CONTROL.SPSEL";
    run_until_stopped();
    halted_at("svc_handler");
    EXPECT_EQ(reg(REGSEL_LR), 0xFFFFFFFDu);
    EXPECT_EQ(reg(REGSEL_PSP), psp - 0x20);
    EXPECT_EQ(reg(REGSEL_MSP), STACK) << "the handler runs on the untouched main stack";
    EXPECT_EQ(reg(REGSEL_SP), STACK);
    EXPECT_EQ(reg(REGSEL_SPECIAL) & CONTROL_SPSEL, 0u);
    EXPECT_EQ(read_word(psp - 0x20 + 24), symbol("after_svc"));
    resume_past_bkpt();
    halted_at("after_svc");
    EXPECT_EQ(reg(REGSEL_SP), psp);
    EXPECT_EQ(reg(REGSEL_PSP), psp);
    EXPECT_EQ(reg(REGSEL_SPECIAL) & CONTROL_SPSEL, CONTROL_SPSEL);
}

// A frame that does not go in (thread code's process stack at the bottom
// of RAM): STKERR and the BusFault derived from it, taken without stacking
// again and with the EXC_RETURN the SVC's entry would have given, the SVC
// left pending; with BusFault disabled, HardFault (FORCED). An entry to
// HardFault whose frame does not go in locks the core up.
TEST_P(Exceptions, AFrameThatDoesNotGoInIsABusFault)
{
    constexpr uint32_t BUSFAULTENA = 1u << 17, SVCALLPENDED = 1u << 15;
    const uint32_t low = 0x20000010; // its frame would start below RAM
    struct stacking_case {
        uint32_t shcsr;
        int handler;
        uint32_t hfsr;
    };
    // First, as the SVCs below stay pending.
    start("case_udf", low);
    write_word(CFSR, 0xFFFFFFFF);
    run_until_stopped();
    EXPECT_TRUE(read_word(DHCSR) & S_LOCKUP);
    EXPECT_EQ(read_word(CFSR), CFSR_UNDEFINSTR | CFSR_STKERR);

    const stacking_case cases[] = {{BUSFAULTENA, EXC_BUSFAULT, 0}, {0, EXC_HARDFAULT, HFSR_FORCED}};
    for (const stacking_case &c : cases) {
        start("case_svc");
        write_word(CFSR, 0xFFFFFFFF);
        write_word(HFSR, 0xFFFFFFFF);
        write_word(SHCSR, c.shcsr);
        set_reg(REGSEL_PSP, low);
        set_reg(REGSEL_SPECIAL, CONTROL_SPSEL);
        run_until_stopped();
        halted_at("fault_handler");
        EXPECT_EQ(ipsr(), static_cast<uint32_t>(c.handler));
        EXPECT_EQ(read_word(CFSR), CFSR_STKERR);
        EXPECT_EQ(read_word(HFSR), c.hfsr);
        EXPECT_EQ(reg(REGSEL_LR), 0xFFFFFFFDu) << "the SVC entry's EXC_RETURN";
        EXPECT_EQ(reg(REGSEL_PSP), low - 0x20) << "moved as if the frame had gone in";
        EXPECT_EQ(reg(REGSEL_SP), STACK) << "the handler on the main stack, nothing pushed there";
        EXPECT_TRUE(read_word(SHCSR) & SVCALLPENDED) << "the SVC stays pending";
    }
}

// With floating-point work in thread code (CONTROL.FPCA) the extended
// frame: S0-S15 and FPSCR above the basic one, EXC_RETURN bit 4 clear,
// written at entry without lazy stacking (FPCCR.LSPEN clear); the return
// restores S0 the handler clobbered, and FPCA.
TEST_P(Exceptions, FloatingPointContextGetsTheExtendedFrame)
{
    start("case_fp_svc");
    write_word(FPCCR, FPCCR_ASPEN);
    run_until_stopped();
    halted_at("svc_handler");
    EXPECT_EQ(read_word(FPCCR), FPCCR_ASPEN) << "nothing deferred";
    EXPECT_EQ(reg(REGSEL_LR), 0xFFFFFFE9u);
    uint32_t frame = STACK - 0x68;
    EXPECT_EQ(reg(REGSEL_SP), frame);
    EXPECT_EQ(read_word(frame + 24), symbol("after_fp_svc"));
    EXPECT_EQ(read_word(frame + 32), 0x3F800000u) << "S0";
    EXPECT_EQ(read_word(frame + 32 + 15 * 4), 0x40000000u) << "S15";
    EXPECT_EQ(reg(REGSEL_SPECIAL) & (CONTROL_FPCA << 24), 0u) << "FPCA clear in the handler";
    resume_past_bkpt();
    halted_at("fp_svc_done");
    EXPECT_EQ(reg(REGSEL_SP), STACK);
    EXPECT_EQ(reg(6), 0x3F800000u) << "S0 unstacked";
    EXPECT_EQ(reg(7), 0x40000000u);
    EXPECT_EQ(reg(REGSEL_SPECIAL) >> 24, CONTROL_FPCA) << "FPCA set again, no reserved bits";
}

// Lazy stacking (FPCCR.LSPEN, as from reset): the entry reserves the
// extended frame's floating-point part, names it in FPCAR and sets LSPACT,
// but writes nothing there; the handler's first floating-point instruction
// writes the interrupted S0-S15 and FPSCR first. The return unstacks them
// when it did (undoing the handler's S0), and leaves them when it did not.
class LazyStacking : public Exceptions
{
protected:
    static constexpr uint32_t FRAME = STACK - 0x68;
    static constexpr uint32_t FP_AREA = FRAME + 0x20;
    static constexpr uint32_t FPSCR_SET = 0x03C00001; // DN, FZ, RMode RZ, IOC
    static constexpr uint32_t PATTERN = 0xA5A5A5A5;
    void start_lazy(const char *name)
    {
        start(name);
        for (uint32_t at = STACK - 0x100; at < STACK; at += 4)
            write_word(at, PATTERN);
        set_reg(5, FPSCR_SET);
    }
    // The frame's floating-point part: S0-S15, FPSCR.
    std::vector<uint32_t> fp_area() { return words_at(FP_AREA, 17); }
    std::vector<uint32_t> interrupted_state()
    {
        std::vector<uint32_t> w = words_at(symbol("lazy_values"), 16);
        w.push_back(FPSCR_SET);
        return w;
    }
    std::vector<uint32_t> live_state()
    {
        std::vector<uint32_t> w;
        for (uint32_t i = 0; i < 16; i++)
            w.push_back(reg(static_cast<uint8_t>(REGSEL_S0 + i)));
        w.push_back(reg(REGSEL_FPSCR));
        return w;
    }
};

TEST_P(LazyStacking, TheHandlersFirstFloatingPointInstructionStoresTheState)
{
    start_lazy("case_lazy_svc");
    run_until_stopped();
    halted_at("svc_handler");
    EXPECT_EQ(reg(REGSEL_LR), 0xFFFFFFE9u) << "the extended frame";
    EXPECT_EQ(reg(REGSEL_SP), FRAME);
    EXPECT_EQ(read_word(FRAME + 24), symbol("after_lazy_svc"));
    EXPECT_EQ(read_word(FPCCR), FPCCR_ASPEN | FPCCR_LSPEN | FPCCR_LSPACT | 0x18)
        << "LSPACT, THREAD, HFRDY; privileged; MemManage, BusFault, DebugMonitor off";
    EXPECT_EQ(read_word(FPCAR), FP_AREA);
    EXPECT_EQ(fp_area(), std::vector<uint32_t>(17, PATTERN)) << "nothing written yet";

    // Up to the handler's return: its VMOV wrote the state first.
    set_reg(REGSEL_PC, reg(REGSEL_PC) + 2);
    write_word(DFSR, DFSR_ALL);
    for (int steps = 0; reg(REGSEL_PC) != symbol("svc_handler_return") && steps < 20; steps++) {
        write_word(DHCSR, DHCSR_STEP);
        turns(1);
    }
    halted_at("svc_handler_return");
    EXPECT_EQ(fp_area(), interrupted_state());
    EXPECT_EQ(read_word(FPCCR) & FPCCR_LSPACT, 0u);
    EXPECT_EQ(reg(REGSEL_S0), 0u) << "the handler's own S0";

    run_until_stopped();
    halted_at("lazy_svc_done");
    EXPECT_EQ(live_state(), interrupted_state()) << "unstacked: the handler's S0 undone";
    EXPECT_EQ(reg(REGSEL_SP), STACK);
    EXPECT_EQ(reg(REGSEL_SPECIAL) >> 24, CONTROL_FPCA);
}

TEST_P(LazyStacking, AHandlerWithoutFloatingPointWorkLeavesTheStateInPlace)
{
    start_lazy("case_lazy_pendsv");
    run_until_stopped();
    halted_at("lazy_pendsv_done");
    std::vector<log_entry> want = {{EXC_PENDSV, FRAME}};
    EXPECT_EQ(log(), want) << "taken on the extended frame";
    EXPECT_EQ(read_word(FPCAR), FP_AREA);
    EXPECT_EQ(read_word(FPCCR) & FPCCR_LSPACT, 0u) << "the return clears LSPACT";
    EXPECT_EQ(fp_area(), std::vector<uint32_t>(17, PATTERN)) << "never written";
    EXPECT_EQ(live_state(), interrupted_state()) << "S0-S15 and FPSCR untouched";
    EXPECT_EQ(reg(REGSEL_SP), STACK);
    EXPECT_EQ(reg(REGSEL_SPECIAL) >> 24, CONTROL_FPCA);
}

// A breakpoint on the handler's first floating-point instruction halts
// before the lazy store, which that instruction makes once resumed.
TEST_P(LazyStacking, ABreakpointComesBeforeTheLazyStore)
{
    const uint32_t vmov_at = symbol("svc_handler_return") - 4;
    start_lazy("case_lazy_svc");
    break_at(vmov_at);
    run_until_stopped();
    halted_at("svc_handler");
    resume_past_bkpt();
    EXPECT_EQ(reg(REGSEL_PC), vmov_at);
    EXPECT_EQ(read_word(DFSR) & DFSR_ALL, DFSR_BKPT);
    EXPECT_TRUE(read_word(FPCCR) & FPCCR_LSPACT);
    EXPECT_EQ(fp_area(), std::vector<uint32_t>(17, PATTERN));
    write_word(DFSR, DFSR_ALL);
    run_until_stopped();
    halted_at("lazy_svc_done");
    EXPECT_EQ(fp_area(), interrupted_state());
    EXPECT_EQ(live_state(), interrupted_state());
}

// A lazy store that finds no RAM at FPCAR (the debugger moved it) is a
// BusFault (LSPERR) on the floating-point instruction, which has not run.
TEST_P(LazyStacking, ALazyStoreOutsideRamIsABusFault)
{
    constexpr uint32_t BUSFAULTENA = 1u << 17;
    start_lazy("case_lazy_svc");
    write_word(SHCSR, BUSFAULTENA);
    write_word(SHPR2, 0x80000000); // SVCall less urgent than the BusFault
    write_word(CFSR, 0xFFFFFFFF);
    run_until_stopped();
    halted_at("svc_handler");
    write_word(FPCAR, 0x60000000);
    resume_past_bkpt();
    halted_at("fault_handler");
    EXPECT_EQ(ipsr(), uint32_t{EXC_BUSFAULT});
    EXPECT_EQ(read_word(CFSR), CFSR_LSPERR);
    EXPECT_EQ(read_word(reg(REGSEL_SP) + 24), symbol("svc_handler_return") - 4) << "the VMOV";
    EXPECT_TRUE(read_word(FPCCR) & FPCCR_LSPACT) << "still deferred";
    EXPECT_EQ(fp_area(), std::vector<uint32_t>(17, PATTERN));
}

// FPCCR keeps what the interrupted thread code could take when the entry
// deferred its state: HardFault always, MemManage, BusFault and the
// DebugMonitor when enabled (their priority 0 beats Thread mode's).
TEST_P(LazyStacking, FpccrTellsWhatTheInterruptedCodeCouldTake)
{
    constexpr uint32_t THREAD_HFRDY = 0x18, MMRDY = 1u << 5, BFRDY = 1u << 6, MONRDY = 1u << 8;
    struct ready_case {
        uint32_t shcsr, demcr, ready;
    };
    const ready_case cases[] = {
        {0, 0, 0},
        {3u << 16, 0, MMRDY | BFRDY}, // MEMFAULTENA, BUSFAULTENA
        {0, 1u << 16, MONRDY},        // DEMCR.MON_EN
    };
    for (const ready_case &c : cases) {
        start_lazy("case_lazy_pendsv");
        write_word(SHCSR, c.shcsr);
        write_word(DEMCR, c.demcr);
        run_until_stopped();
        halted_at("lazy_pendsv_done");
        EXPECT_EQ(read_word(FPCCR), FPCCR_ASPEN | FPCCR_LSPEN | THREAD_HFRDY | c.ready) << std::hex << c.ready;
    }
}

// With FPCCR.ASPEN clear floating-point instructions leave CONTROL.FPCA
// alone (and FPSCR: no fresh context takes FPDSCR's): entries get the
// basic frame until the firmware sets FPCA itself, which MRS reads back.
TEST_P(Exceptions, WithoutAspenFpcaIsTheFirmwaresToSet)
{
    const uint32_t fpscr = 0x03C00001;
    start("case_aspen_off");
    write_word(FPCCR, 0);
    set_reg(5, fpscr);
    run_until_stopped();
    halted_at("svc_handler");
    EXPECT_EQ(reg(REGSEL_LR), 0xFFFFFFF9u) << "floating-point work, yet the basic frame";
    EXPECT_EQ(reg(6) & CONTROL_FPCA, 0u) << "MRS: FPCA clear";
    EXPECT_EQ(reg(REGSEL_SPECIAL) >> 24, 0u);

    resume_past_bkpt(); // the handler's VMOV, its return, FPCA set by MSR, the second SVC
    halted_at("svc_handler");
    EXPECT_EQ(reg(REGSEL_LR), 0xFFFFFFE9u) << "FPCA as the firmware set it";
    uint32_t frame = reg(REGSEL_SP);
    EXPECT_EQ(read_word(frame + 0x20 + 3 * 4), fpscr) << "S3";
    EXPECT_EQ(read_word(frame + 0x60), fpscr) << "FPSCR as the firmware wrote it";
    EXPECT_EQ(read_word(FPCCR), 0u);

    resume_past_bkpt();
    halted_at("aspen_done");
    EXPECT_EQ(reg(7) & CONTROL_FPCA, CONTROL_FPCA) << "MRS: FPCA set";
    EXPECT_EQ(reg(REGSEL_SPECIAL) >> 24, CONTROL_FPCA);
    EXPECT_EQ(reg(REGSEL_FPSCR), fpscr);
}

// PendSV and SysTick pended together under PRIMASK: the more urgent runs
// first, the other tail-chains into its place (the same SP: no second frame).
TEST_P(Exceptions, PendedTogetherTheyRunByPriorityAndTailChain)
{
    struct order_case {
        uint32_t shpr3;
        uint32_t first, second;
    };
    const order_case cases[] = {
        {0x80400000, EXC_PENDSV, EXC_SYSTICK}, // PendSV 0x40, SysTick 0x80
        {0x40800000, EXC_SYSTICK, EXC_PENDSV},
        {0x00000000, EXC_PENDSV, EXC_SYSTICK}, // equal: the lower number first
    };
    for (const order_case &c : cases) {
        start("case_pend");
        write_word(SHPR3, c.shpr3);
        set_reg(5, PENDSVSET | PENDSTSET);
        run_until_stopped();
        halted_at("pend_done");
        uint32_t frame = STACK - 0x20;
        std::vector<log_entry> want = {{c.first, frame}, {c.second, frame}};
        EXPECT_EQ(log(), want) << std::hex << c.shpr3;
        EXPECT_EQ(read_word(SHPR3), c.shpr3);
        EXPECT_EQ(reg(REGSEL_SP), STACK);
    }
}

// IRQ 0 pends IRQ 1 from its handler: a more urgent IRQ 1 nests, a less
// urgent one waits and tail-chains; PRIGROUP decides what "more urgent" is.
TEST_P(Exceptions, NestingFollowsGroupPriorities)
{
    uint32_t frame = STACK - 0x20;
    struct nest_case {
        const char *name;
        uint32_t ipr; // IRQ 0 in byte 0, IRQ 1 in byte 1
        uint32_t aircr_prigroup;
        std::vector<uint32_t> order;
        bool nested;
    };
    const nest_case cases[] = {
        {"IRQ 1 more urgent", 0x4080, 0, {16, 17, 0x110}, true},
        {"IRQ 1 less urgent", 0xC080, 0, {16, 0x110, 17}, false},
        {"same group under PRIGROUP 7", 0x4080, 7, {16, 0x110, 17}, false},
        {"other groups under PRIGROUP 6", 0x4080, 6, {16, 17, 0x110}, true},
    };
    for (const nest_case &c : cases) {
        start("case_irq");
        write_word(AIRCR, AIRCR_VECTKEY | c.aircr_prigroup << 8);
        EXPECT_EQ((read_word(AIRCR) >> 8) & 7, c.aircr_prigroup);
        write_word(NVIC_IPR, c.ipr);
        write_word(NVIC_ISER, 3);
        run_until_stopped();
        halted_at("irq_done");
        std::vector<log_entry> got = log();
        ASSERT_EQ(got.size(), 3u) << c.name;
        for (size_t i = 0; i < 3; i++)
            EXPECT_EQ(got[i].ipsr, c.order[i]) << c.name << " entry " << i;
        EXPECT_EQ(got[0].sp, frame) << c.name;
        if (c.nested)
            EXPECT_LT(got[1].sp, frame - 0x20 + 1) << c.name << ": a frame of its own below IRQ 0's";
        else
            EXPECT_EQ(got[2].sp, frame) << c.name << ": tail-chained into IRQ 0's frame";
        EXPECT_EQ(read_word(NVIC_IABR), 0u) << c.name;
    }
}

TEST_P(Exceptions, BasepriHoldsLessUrgentInterruptsBack)
{
    start("case_basepri");
    write_word(NVIC_IPR, 0x80);
    write_word(NVIC_ISER, 1);
    run_until_stopped();
    halted_at("basepri_held");
    EXPECT_TRUE(log().empty());
    EXPECT_EQ((read_word(ICSR) >> 12) & 0x1FF, 0u) << "VECTPENDING leaves out what BASEPRI holds back";
    EXPECT_TRUE(read_word(ICSR) & (1u << 22)) << "ISRPENDING";
    EXPECT_EQ(read_word(NVIC_ISPR), 1u);
    resume_past_bkpt();
    halted_at("basepri_done");
    ASSERT_EQ(log().size(), 2u) << "taken as BASEPRI cleared";
    EXPECT_EQ(read_word(NVIC_ISPR), 2u) << "IRQ 0 taken; IRQ 1, which it pends, is not enabled";

    start("case_basepri");
    write_word(NVIC_IPR, 0x20); // more urgent than BASEPRI 0x40
    run_until_stopped();
    halted_at("basepri_held");
    EXPECT_EQ(log().size(), 2u);
}

// An interrupt that only PRIMASK holds back wakes WFI (its handler still
// waits) and shows in VECTPENDING; one that BASEPRI holds back does neither.
TEST_P(Exceptions, PrimaskLetsAPendingInterruptWakeWfiAndBasepriDoesNot)
{
    struct mask_case {
        const char *name;
        uint32_t basepri; // 0: PRIMASK instead
        bool wakes;
    };
    const mask_case cases[] = {{"PRIMASK", 0, true}, {"BASEPRI 0x40", 0x40, false}};
    for (const mask_case &c : cases) {
        start("case_wfi_masked");
        write_word(NVIC_ICPR, ~0u);
        EXPECT_EQ(read_word(NVIC_ISPR), 0u) << c.name << ": ICPR clears what the case before left pending";
        write_word(NVIC_IPR, 0x80);
        write_word(NVIC_ISER, 1);
        set_reg(5, c.basepri);
        run_until_stopped();
        halted_at("wfi_masked_pending");
        EXPECT_EQ((read_word(ICSR) >> 12) & 0x1FF, c.wakes ? 16u : 0u) << c.name << ": VECTPENDING";
        resume_past_bkpt();
        EXPECT_TRUE(log().empty()) << c.name << ": the handler waits for the mask";
        if (c.wakes) {
            halted_at("wfi_woken");
            continue;
        }
        EXPECT_FALSE(read_word(DHCSR) & S_HALT) << c.name;
        EXPECT_TRUE(read_word(DHCSR) & S_SLEEP) << c.name << ": still asleep";
        write_word(DHCSR, DHCSR_HALT);
    }
}

// A fault with its handler disabled, or an SVC under PRIMASK, escalates
// to HardFault (FORCED); an enabled UsageFault takes its own handler.
TEST_P(Exceptions, FaultsEscalateToHardFaultAsTheArchitectureSays)
{
    struct fault_case {
        const char *entry, *at;
        uint32_t shcsr, ccr;
        int handler;
        uint32_t cfsr, hfsr;
        uint32_t stacked_pc;
    };
    const fault_case cases[] = {
        {"case_udf", "udf_at", 0, CCR_STKALIGN, EXC_HARDFAULT, CFSR_UNDEFINSTR, HFSR_FORCED, 0},
        {"case_udf", "udf_at", USGFAULTENA, CCR_STKALIGN, EXC_USAGEFAULT, CFSR_UNDEFINSTR, 0, 0},
        {"case_div", "div_at", USGFAULTENA, CCR_STKALIGN | CCR_DIV_0_TRP, EXC_USAGEFAULT, CFSR_DIVBYZERO, 0, 0},
        {"case_even", "even_target", USGFAULTENA, CCR_STKALIGN, EXC_USAGEFAULT, CFSR_INVSTATE, 0, 0},
        {"case_unaligned", "unaligned_at", 0, CCR_STKALIGN | CCR_UNALIGN_TRP, EXC_HARDFAULT, CFSR_UNALIGNED,
         HFSR_FORCED, 0},
        {"case_svc_masked", nullptr, 0, CCR_STKALIGN, EXC_HARDFAULT, 0, HFSR_FORCED, 0},
    };
    for (const fault_case &c : cases) {
        start(c.entry);
        write_word(CFSR, 0xFFFFFFFF);
        write_word(HFSR, 0xFFFFFFFF);
        write_word(SHCSR, c.shcsr);
        write_word(CCR, c.ccr);
        run_until_stopped();
        halted_at("fault_handler");
        EXPECT_EQ(ipsr(), static_cast<uint32_t>(c.handler)) << c.entry;
        EXPECT_EQ(read_word(CFSR), c.cfsr) << c.entry;
        EXPECT_EQ(read_word(HFSR), c.hfsr) << c.entry;
        uint32_t stacked_pc = read_word(reg(REGSEL_SP) + 24);
        if (c.at)
            EXPECT_EQ(stacked_pc, symbol(c.at) & ~1u) << c.entry << ": the faulting instruction";
        else
            EXPECT_EQ(stacked_pc, symbol("case_svc_masked") + 4) << "past the SVC";
    }
    // Without the traps the same code runs on.
    const std::pair<const char *, const char *> quiet[] = {{"case_div", "div_done"},
                                                           {"case_unaligned", "unaligned_done"}};
    for (const auto &q : quiet) {
        start(q.first);
        write_word(CCR, CCR_STKALIGN);
        run_until_stopped();
        halted_at(q.second);
    }
    EXPECT_EQ(reg(4), 0u) << "a division by zero gives 0";
}

// A floating-point instruction CPACR denies is a UsageFault (NOCP), or a
// HardFault (FORCED) with UsageFault disabled, taken before any of it is
// done: the frame holds the registers and SP it found, memory and FPCA
// stay as they were. With access (full, or privileged-only for this
// privileged code) the same instructions run.
TEST_P(Exceptions, AFloatingPointInstructionCpacrDeniesIsNocp)
{
    const char *instructions[] = {"nocp_to_s", "nocp_to_core", "nocp_store", "nocp_push", "nocp_fpscr", "nocp_double"};
    struct access_case {
        uint32_t cpacr, shcsr;
        int handler; // 0: the instruction runs
        uint32_t hfsr;
    };
    const access_case cases[] = {
        {0, USGFAULTENA, EXC_USAGEFAULT, 0},
        {0, 0, EXC_HARDFAULT, HFSR_FORCED},
        {0x00500000, 0, 0, 0},           // CP10 and CP11 privileged-only
        {0x00F00000, USGFAULTENA, 0, 0}, // full access
    };
    const uint32_t store_at = 0x20000400;
    for (const access_case &c : cases)
        for (const char *name : instructions) {
            SCOPED_TRACE(std::string(name) + " CPACR " + std::to_string(c.cpacr));
            start(name);
            write_word(CPACR, c.cpacr);
            write_word(SHCSR, c.shcsr);
            write_word(CFSR, 0xFFFFFFFF);
            write_word(HFSR, 0xFFFFFFFF);
            write_word(store_at, 0x11223344);
            set_reg(1, store_at);
            set_reg(2, 0x2222);
            run_until_stopped();
            if (c.handler == 0) {
                halted_at("nocp_done");
                EXPECT_EQ(read_word(CFSR), 0u);
                continue;
            }
            halted_at("fault_handler");
            EXPECT_EQ(ipsr(), static_cast<uint32_t>(c.handler));
            EXPECT_EQ(read_word(CFSR), CFSR_NOCP);
            EXPECT_EQ(read_word(HFSR), c.hfsr);
            EXPECT_EQ(reg(REGSEL_LR), 0xFFFFFFF9u) << "a basic frame: no FP context began";
            EXPECT_EQ(reg(REGSEL_SP), STACK - 0x20) << "nothing pushed before the frame";
            std::vector<uint32_t> frame = frame_at(STACK - 0x20);
            EXPECT_EQ(frame[6], symbol(name) & ~1u) << "the stacked PC: the instruction's";
            EXPECT_EQ(frame[2], 0x2222u) << "r2 as it was";
            EXPECT_EQ(read_word(store_at), 0x11223344u) << "nothing stored";
        }
    EXPECT_EQ(read_word(CPACR), 0x00F00000u);
}

// A breakpoint on such an instruction halts before it faults.
TEST_P(Exceptions, ABreakpointComesBeforeNocp)
{
    start("nocp_lead"); // the first instruction run passes a breakpoint
    break_at(symbol("nocp_to_s"));
    write_word(SHCSR, USGFAULTENA);
    run_until_stopped();
    halted_at("nocp_to_s");
    EXPECT_EQ(read_word(DFSR) & DFSR_ALL, DFSR_BKPT);
    EXPECT_EQ(ipsr(), 0u);
    EXPECT_EQ(read_word(CFSR), 0u);
    write_word(DFSR, DFSR_ALL);
    run_until_stopped();
    halted_at("fault_handler");
    EXPECT_EQ(read_word(CFSR), CFSR_NOCP) << "the fault once it runs";
}

// UNALIGN_TRP faults before the access: a store leaves memory as it was,
// a post-indexed load neither loads nor writes its base back; the frame
// holds the registers as the instruction found them.
TEST_P(Exceptions, AnUnalignedTrapLeavesNoTrace)
{
    struct trap_case {
        const char *entry, *at;
        uint32_t r1, r2;
    };
    const trap_case cases[] = {{"case_unaligned_store", "unaligned_store_at", 0x20000201, 0xDEADBEEF},
                               {"case_unaligned_writeback", "unaligned_writeback_at", 0x20000301, 0x66}};
    for (const trap_case &c : cases) {
        SCOPED_TRACE(c.entry);
        start(c.entry);
        const uint32_t around = c.r1 & ~7u;
        write_word(around, 0x11223344);
        write_word(around + 4, 0x55667788);
        write_word(CFSR, 0xFFFFFFFF);
        write_word(SHCSR, USGFAULTENA);
        write_word(CCR, CCR_STKALIGN | CCR_UNALIGN_TRP);
        run_until_stopped();
        halted_at("fault_handler");
        EXPECT_EQ(ipsr(), uint32_t{EXC_USAGEFAULT});
        EXPECT_EQ(read_word(CFSR), CFSR_UNALIGNED);
        std::vector<uint32_t> frame = frame_at(reg(REGSEL_SP));
        EXPECT_EQ(frame[6], symbol(c.at) & ~1u) << "the faulting instruction";
        EXPECT_EQ(frame[1], c.r1) << "the base as it was";
        EXPECT_EQ(frame[2], c.r2) << "nothing loaded";
        EXPECT_EQ(read_word(around), 0x11223344u) << "nothing stored";
        EXPECT_EQ(read_word(around + 4), 0x55667788u);
    }
}

// A fault at priority -1 (FAULTMASK, or in HardFault itself: VTOR moved to
// a RAM table whose HardFault vector points at an undefined instruction)
// locks the core up.
TEST_P(Exceptions, AFaultThatCannotBeTakenLocksTheCoreUp)
{
    start("case_faultmask_udf");
    run_until_stopped();
    EXPECT_TRUE(read_word(DHCSR) & S_LOCKUP);
    EXPECT_EQ(reg(REGSEL_PC), symbol("faultmask_udf_at"));
    EXPECT_EQ(reg(REGSEL_SP), STACK) << "nothing stacked";

    const uint32_t table = 0x20002000;
    for (uint32_t n = 0; n < 16; n++)
        write_word(table + 4 * n, read_word(4 * n));
    write_word(table + 4 * EXC_HARDFAULT, symbol("case_udf") | 1);
    start("case_div");
    write_word(VTOR, table);
    EXPECT_EQ(read_word(VTOR), table);
    write_word(CCR, CCR_STKALIGN | CCR_DIV_0_TRP);
    write_word(CFSR, 0xFFFFFFFF);
    run_until_stopped();
    EXPECT_TRUE(read_word(DHCSR) & S_LOCKUP);
    EXPECT_EQ(reg(REGSEL_PC), symbol("udf_at"));
    EXPECT_EQ(ipsr(), uint32_t{EXC_HARDFAULT});
    EXPECT_EQ(read_word(CFSR), CFSR_DIVBYZERO | CFSR_UNDEFINSTR);
    EXPECT_EQ(read_word(STACK - 0x20 + 24), symbol("div_at")) << "the first fault's frame";
}

TEST_P(Exceptions, VectorCatchHaltsOnTheHandlersFirstInstruction)
{
    start("case_udf");
    write_word(DEMCR, DEMCR_VC_HARDERR);
    run_until_stopped();
    halted_at("fault_handler");
    EXPECT_EQ(read_word(DFSR) & DFSR_ALL, DFSR_VCATCH) << "the catch, not the handler's BKPT";
    EXPECT_EQ(ipsr(), uint32_t{EXC_HARDFAULT});
    EXPECT_EQ(read_word(STACK - 0x20 + 24), symbol("udf_at"));

    start("case_udf");
    write_word(DEMCR, DEMCR_VC_HARDERR);
    write_word(SHCSR, USGFAULTENA);
    run_until_stopped();
    halted_at("fault_handler");
    EXPECT_EQ(read_word(DFSR) & DFSR_ALL, DFSR_BKPT) << "a UsageFault is not a HardFault";

    start("nocp_to_s");
    write_word(DEMCR, 1u << 5); // VC_NOCPERR
    write_word(DFSR, DFSR_ALL);
    run_until_stopped();
    halted_at("fault_handler");
    EXPECT_EQ(read_word(DFSR) & DFSR_ALL, DFSR_VCATCH) << "a coprocessor access CPACR denies";
    EXPECT_EQ(ipsr(), uint32_t{EXC_USAGEFAULT});
}

// A step with an exception due lands on the handler's first instruction;
// steps through the handler come back out to the code it interrupted.
TEST_P(Exceptions, SteppingGoesIntoAndOutOfAHandler)
{
    start("case_pend");
    uint32_t at = symbol("pend_done");
    set_reg(REGSEL_PC, at);
    write_word(ICSR, PENDSVSET);
    write_word(DHCSR, DHCSR_STEP);
    turns(1);
    halted_at("log_handler");
    EXPECT_EQ(ipsr(), uint32_t{EXC_PENDSV});
    EXPECT_EQ(read_word(DFSR) & DFSR_HALTED, DFSR_HALTED);
    int steps = 0;
    while (ipsr() != 0 && steps < 40) {
        write_word(DHCSR, DHCSR_STEP);
        turns(1);
        steps++;
    }
    EXPECT_EQ(ipsr(), 0u);
    EXPECT_EQ(reg(REGSEL_PC), at) << "back where it was taken";
    EXPECT_EQ(reg(REGSEL_SP), STACK);
    EXPECT_EQ(log().size(), 1u);

    // C_MASKINTS keeps it out: the step runs the instruction instead.
    start("case_pend");
    set_reg(REGSEL_PC, symbol("pend_unmask"));
    write_word(ICSR, PENDSVSET);
    write_word(DHCSR, DHCSR_STEP | C_MASKINTS);
    turns(1);
    EXPECT_EQ(ipsr(), 0u);
    EXPECT_EQ(reg(REGSEL_PC), symbol("pend_unmask") + 2);
    EXPECT_TRUE(read_word(ICSR) & PENDSVSET) << "still pending";
}

// SysTick counts core cycles: handler entries over a run of known length,
// COUNTFLAG, CALIB, and the pending state TICKINT gives. With no reference
// clock (CALIB.NOREF) CLKSOURCE stays 1 whatever is written.
TEST_P(Exceptions, SysTickInterruptsAtItsRateInCoreCycles)
{
    start("reset_handler");
    write_word(SYST_CSR, 0);
    EXPECT_EQ(read_word(SYST_CSR), 4u) << "CLKSOURCE";
    EXPECT_TRUE(read_word(SYST_CALIB) & (1u << 31)) << "NOREF";
    write_word(symbol("tick_count"), 0);
    write_word(SYST_RVR, 999);
    write_word(SYST_CVR, 0);
    write_word(SYST_CSR, 7);
    const core_debug &d = v_.rec->st.core;
    uint64_t before = d.cycles;
    run_until_stopped(10); // 10 turns of 16000 instructions
    write_word(DHCSR, DHCSR_HALT);
    uint64_t cycles = d.cycles - before;
    EXPECT_EQ(cycles, 160000u);
    EXPECT_NEAR(read_word(symbol("tick_count")), cycles / 1000, 1);
    EXPECT_TRUE(read_word(SYST_CSR) & (1u << 16)) << "COUNTFLAG";
    EXPECT_FALSE(read_word(SYST_CSR) & (1u << 16)) << "clears when read";
    EXPECT_LE(read_word(SYST_CVR), 999u);
    EXPECT_EQ(read_word(SYST_CALIB) & 0xFFFFFF, CORE_HZ / 100 - 1);

    uint32_t ticks = read_word(symbol("tick_count"));
    turns(5);
    EXPECT_EQ(read_word(symbol("tick_count")), ticks) << "the SysTick stops while the core is halted";
    write_word(ICSR, 1u << 25); // PENDSTCLR: a wrap at the end of the last turn may wait
    write_word(SYST_CSR, 5);    // no TICKINT: it counts, nothing pends
    run_until_stopped(2);
    write_word(DHCSR, DHCSR_HALT);
    EXPECT_EQ(read_word(symbol("tick_count")), ticks);
    EXPECT_FALSE(read_word(ICSR) & PENDSTSET);
    EXPECT_TRUE(read_word(SYST_CSR) & (1u << 16));
}

TEST_P(Exceptions, RegistersReadBackAsTheArchitectureHasThem)
{
    struct rw_case {
        uint32_t addr, written, read;
    };
    const rw_case cases[] = {
        {SHPR2, 0xFFFFFFFF, 0xF0000000}, // SVCall only; 4 priority bits
        {SHPR3, 0x12345678, 0x10300070}, // DebugMonitor, PendSV, SysTick; 13 reserved
        {NVIC_IPR + 4, 0xFFFFFFFF, 0xF0F0F0F0}, {VTOR, 0x20001234, 0x20001200},  {CCR, 0xFFFFFFFF, 0x31B},
        {SHCSR, 0xFFFFFFFF, 7u << 16},          {FPCCR, 0xFFFFFFFF, 0xC0000001}, // ASPEN, LSPEN, LSPACT
        {FPCCR, 0x40000000, 0x40000000},                                         // LSPEN only
        {FPCAR, 0x20001237, 0x20001230},        {CPACR, 0xFFFFFFFF, 0x00F00000}, // CP10 and CP11
        {CPACR, 0x00500000, 0x00500000},
    };
    for (const rw_case &c : cases) {
        write_word(c.addr, c.written);
        EXPECT_EQ(read_word(c.addr), c.read) << std::hex << c.addr;
    }
    probe_core_reset(v_);
    EXPECT_EQ(read_word(CCR), CCR_STKALIGN) << "reset: STKALIGN set";
    EXPECT_EQ(read_word(VTOR), 0u);
    EXPECT_EQ(read_word(SHPR3), 0u);
    EXPECT_EQ(read_word(FPCCR), 0xC0000000u) << "reset: ASPEN and LSPEN";
    EXPECT_EQ(read_word(CPACR), 0u) << "reset: CP10 and CP11 denied";
}

// The exception test firmware from reset on each core, built for it: every
// step it takes, seen in its memory, the order of its handlers and the
// SysTick's count against the core cycles it ran. Armv6-M has no BASEPRI
// (no IRQ 3 then) and no fault status to record.
struct firmware_row {
    const char *key;
    const char *elf;
    bool v6m;
};

void PrintTo(const firmware_row &r, std::ostream *os)
{
    *os << r.key;
}

const firmware_row FIRMWARE_ROWS[] = {
    {"m0", EXCEPTIONS_M0_ELF, true}, {"m3", EXCEPTIONS_M3_ELF, false}, {"m4", EXCEPTIONS_ELF, false},
    {"m7", EXCEPTIONS_ELF, false},   {"m33", EXCEPTIONS_ELF, false},
};

class HandlerOrder : public vprobe_test::CoreFixture, public ::testing::WithParamInterface<firmware_row>
{
protected:
    void SetUp() override
    {
        core_kind_ = static_cast<uint8_t>(core_kind_named(GetParam().key));
        CoreFixture::SetUp();
        load_image(GetParam().elf);
    }
};

TEST_P(HandlerOrder, TheExceptionFirmwareRunsEachHandlerInTurn)
{
    const firmware_row &row = GetParam();
    auto at = [&](const char *name) { return vprobe_test::elf_address(row.elf, name); };
    const core_debug &d = v_.rec->st.core;
    uint64_t before = d.cycles;
    for (int i = 0; i < 100 && read_word(at("exc_done")) == 0; i++)
        turns(1);
    ASSERT_EQ(read_word(at("exc_done")), 1u) << "PC " << std::hex << reg(REGSEL_PC);
    std::vector<uint32_t> order;
    for (uint32_t i = 0; i < read_word(at("exc_order_n")); i++)
        order.push_back(read_word(at("exc_order") + 4 * i));
    std::vector<uint32_t> want = {11, 14, 16, 17, 18, 14};
    if (!row.v6m)
        want.push_back(19); // IRQ 3, held back by BASEPRI until it fell
    EXPECT_EQ(order, want);
    EXPECT_EQ(read_word(at("exc_order_sp") + 16), read_word(at("exc_order_sp") + 20)) << "PendSV chained to IRQ 2";
    EXPECT_LT(read_word(at("exc_order_sp") + 12), read_word(at("exc_order_sp") + 8)) << "IRQ 1 nested in IRQ 0";
    EXPECT_EQ(read_word(at("exc_nested")), 1u);
    EXPECT_EQ(read_word(at("exc_basepri_held")), row.v6m ? 0u : 1u);
    EXPECT_EQ(read_word(at("exc_svc_number")), 42u);
    EXPECT_EQ(read_word(at("exc_hardfault")), 1u);
    EXPECT_EQ(read_word(at("exc_fault_pc")), at("exc_fault_at"));
    EXPECT_EQ(read_word(at("exc_hfsr")), row.v6m ? 0u : HFSR_FORCED);
    EXPECT_EQ(read_word(at("exc_cfsr")), row.v6m ? 0u : CFSR_PRECISERR | CFSR_BFARVALID);
    uint32_t ticks = read_word(at("exc_ticks"));
    EXPECT_NEAR(ticks, (d.cycles - before) / (CORE_HZ / 1000), 1);
    turns(20); // it sleeps between ticks now: the time asleep counts
    EXPECT_GT(read_word(at("exc_ticks")), ticks);
}

INSTANTIATE_TEST_SUITE_P(Cores, HandlerOrder, ::testing::ValuesIn(FIRMWARE_ROWS),
                         [](const ::testing::TestParamInfo<firmware_row> &info) {
                             return std::string(info.param.key);
                         });

const char *const FP_CORES[] = {"m4", "m7", "m33"};
INSTANTIATE_TEST_SUITE_P(Cores, Exceptions, ::testing::ValuesIn(FP_CORES),
                         [](const ::testing::TestParamInfo<const char *> &info) { return std::string(info.param); });
INSTANTIATE_TEST_SUITE_P(Cores, LazyStacking, ::testing::ValuesIn(FP_CORES),
                         [](const ::testing::TestParamInfo<const char *> &info) { return std::string(info.param); });

} // namespace
