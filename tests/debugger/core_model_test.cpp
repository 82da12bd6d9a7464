// The target layer on each core model of the virtual probe, through the
// real server: what it identifies, a hardware breakpoint that halts the
// core, a write watchpoint in that core's DWT encoding that hits, and the
// FP registers where the core has them (and refused where it has none).
#include <gtest/gtest.h>

#include <ostream>
#include <string>
#include <vector>

#include "core_identity.h"
#include "debug_units.h"
#include "elf_lookup.h"
#include "server_process.h"
#include "target.h"
#include "target_attach.h"

namespace
{

using namespace tarvex_target;

// Every wait is for the emulated core to reach a point it reaches within
// microseconds; the bound only ends a case that went wrong, on a loaded
// machine.
constexpr int HALT_BOUND_MS = 30000;

struct core_case {
    const char *core; // the probe key's value
    core_arch arch;
    fpu_kind fpu;
    uint8_t fpb_revision;
    uint8_t fpb_code, dwt_count;
    dwt_encoding dwt;
};

const core_case CASES[] = {
    {"m0", ARCH_V6M, FPU_NONE, 1, 4, 2, DWT_MASKED},          {"m3", ARCH_V7M, FPU_NONE, 1, 6, 4, DWT_MASKED},
    {"m4", ARCH_V7M, FPU_SINGLE, 1, 6, 4, DWT_MASKED},        {"m7", ARCH_V7M, FPU_DOUBLE, 2, 8, 4, DWT_MASKED},
    {"m33", ARCH_V8M_MAINLINE, FPU_SINGLE, 2, 8, 4, DWT_V8M},
};

void PrintTo(const core_case &c, std::ostream *os)
{
    *os << c.core;
}

class core_model_test : public ::testing::TestWithParam<core_case>
{
protected:
    void SetUp() override
    {
        std::string probe = std::string("core=") + GetParam().core + ",firmware=" + CORE_FIRMWARE_ELF;
        ASSERT_EQ(server_.start({}, {"--fast", "--probe", probe}, true), 0);
        ASSERT_EQ(server_.wait_listening(), 0) << server_.stderr_text();
        conn_ = server_.connect();
        ASSERT_TRUE(conn_.is_open());
        tarvex::probe_entry probe_entry;
        ASSERT_EQ(attach_register(link_, "core-model-test"), TARGET_OK);
        ASSERT_EQ(attach_find(link_, "0", &probe_entry), TARGET_OK);
        ASSERT_EQ(attach_open(link_, probe_entry), TARGET_OK);
        ASSERT_EQ(attach_debug_mode(link_), TARGET_OK);
        ASSERT_EQ(halt(link_), TARGET_OK);
        units_.ram_base = 0x20000000;
        units_.ram_size = 128 * 1024;
        ASSERT_EQ(units_discover(link_, units_), TARGET_OK);
    }

    void TearDown() override { detach(link_); }

    uint32_t symbol(const char *name)
    {
        tarvex_test::elf_symbol s = tarvex_test::elf_symbol_of(CORE_FIRMWARE_ELF, name);
        EXPECT_TRUE(s.found) << name;
        return s.address;
    }

    // Lets the core run until it halts again; false when it never does.
    bool run_to_halt()
    {
        if (resume(link_, false) != TARGET_OK)
            return false;
        return tarvex_test::eventually(
            [&] {
                run_state state = STATE_RUNNING;
                return run_state_read(link_, &state) == TARGET_OK && state == STATE_HALTED;
            },
            HALT_BOUND_MS);
    }

    uint32_t pc()
    {
        uint32_t value = 0;
        EXPECT_EQ(link_.read_core(CORE_REGISTERS[core_register_index("pc")].regsel, &value), TARGET_OK);
        return value;
    }

    // Runs to the breakpoint at tick(): past it main() has set CPACR.
    void run_to_tick()
    {
        ASSERT_EQ(breakpoint_insert(link_, units_, symbol("tick"), true), TARGET_OK);
        ASSERT_TRUE(run_to_halt());
        ASSERT_EQ(breakpoint_remove(link_, units_, symbol("tick"), true), TARGET_OK);
    }

    tarvex_test::server_process server_;
    tarvex::connection conn_;
    server_link link_{&conn_, 0};
    debug_units units_;
};

TEST_P(core_model_test, the_identity_is_the_cores)
{
    const core_case &c = GetParam();
    const core_identity &id = units_.core;
    EXPECT_EQ(id.arch, c.arch);
    EXPECT_EQ(id.fpu, c.fpu);
    EXPECT_EQ(id.fpb_revision, c.fpb_revision);
    EXPECT_EQ(id.fpb_code, c.fpb_code);
    EXPECT_EQ(id.dwt_count, c.dwt_count);
    EXPECT_EQ(id.dwt, c.dwt);
    EXPECT_EQ(units_.fpb.size(), c.fpb_code);
    EXPECT_EQ(units_.dwt.size(), c.dwt_count);
}

TEST_P(core_model_test, a_hardware_breakpoint_halts_the_core_there)
{
    ASSERT_EQ(breakpoint_insert(link_, units_, symbol("tick"), true), TARGET_OK);
    for (int turn = 0; turn < 3; turn++) {
        ASSERT_TRUE(run_to_halt()) << "turn " << turn;
        EXPECT_EQ(pc(), symbol("tick")) << "turn " << turn;
        stop_cause cause = STOP_INTERRUPT;
        const dwt_slot *hit = nullptr;
        ASSERT_EQ(stop_read(link_, units_, stop_context(), &cause, &hit), TARGET_OK);
        EXPECT_EQ(cause, STOP_TRAP);
        EXPECT_EQ(hit, nullptr);
    }
}

// A single aligned word, and a range across it that is no single
// comparator's on any encoding (two blocks, or an Armv8-M pair).
TEST_P(core_model_test, a_write_watchpoint_hits_on_the_store)
{
    const uint32_t ticks = symbol("ticks");
    struct watch {
        uint32_t addr, len;
    };
    for (const watch &w : {watch{ticks, 4}, watch{ticks + 2, 4}, watch{ticks - 2, 6}}) {
        ASSERT_EQ(watchpoint_insert(link_, units_, WATCH_WRITE, w.addr, w.len), TARGET_OK) << std::hex << w.addr;
        std::vector<uint8_t> before;
        ASSERT_EQ(memory_read(link_, ticks, 4, &before), TARGET_OK);
        ASSERT_TRUE(run_to_halt()) << std::hex << w.addr << " " << w.len;
        stop_cause cause = STOP_INTERRUPT;
        const dwt_slot *hit = nullptr;
        ASSERT_EQ(stop_read(link_, units_, stop_context(), &cause, &hit), TARGET_OK);
        EXPECT_EQ(cause, STOP_WATCH);
        ASSERT_NE(hit, nullptr);
        EXPECT_EQ(hit->addr, w.addr);
        EXPECT_EQ(hit->len, w.len);
        std::vector<uint8_t> after;
        ASSERT_EQ(memory_read(link_, ticks, 4, &after), TARGET_OK);
        EXPECT_NE(after, before) << "halted after the store that matched";
        ASSERT_EQ(watchpoint_remove(link_, units_, WATCH_WRITE, w.addr, w.len), TARGET_OK);
    }
}

TEST_P(core_model_test, fp_registers_are_there_exactly_when_the_core_has_an_fpu)
{
    run_to_tick();
    core_identity id;
    ASSERT_EQ(identify(link_, &id), TARGET_OK);
    std::vector<core_register> set = core_register_set(id);
    std::vector<uint32_t> values(set.size());
    ASSERT_EQ(registers_read(link_, set.data(), set.size(), values.data()), TARGET_OK);
    EXPECT_EQ(values[15], symbol("tick")) << "pc";
    uint32_t fp[FP_REGISTER_COUNT] = {};
    if (GetParam().fpu == FPU_NONE) {
        EXPECT_FALSE(fp_registers_present(id));
        EXPECT_EQ(set.size(), has_priority_masks(id.arch) ? CORE_REGISTER_COUNT - 2 : CORE_REGISTER_COUNT - 4)
            << "no stack limits; no BASEPRI and FAULTMASK on Armv6-M";
        EXPECT_EQ(fp_registers_read(link_, id, fp), TARGET_UNSUITABLE);
        uint32_t s0 = 0;
        EXPECT_NE(link_.read_core(FP_REGISTERS[0].regsel, &s0), TARGET_OK) << "the core has no s0 either";
        return;
    }
    ASSERT_TRUE(fp_registers_present(id)) << "the firmware granted CP10 and CP11";
    size_t limits = id.arch == ARCH_V8M_MAINLINE ? 0 : 2; // msplim and psplim on Armv8-M Mainline only
    EXPECT_EQ(set.size(), CORE_REGISTER_COUNT - limits + FP_REGISTER_COUNT);
    uint32_t written[FP_REGISTER_COUNT];
    for (size_t i = 0; i < FP_REGISTER_COUNT - 1; i++)
        written[i] = 0x3F800000u + static_cast<uint32_t>(i) * 0x10001u; // distinct floats
    written[FP_REGISTER_COUNT - 1] = 0x03400000;                        // FPSCR: DN and FZ, round towards plus infinity
    ASSERT_EQ(fp_registers_write(link_, id, written), TARGET_OK);
    ASSERT_EQ(fp_registers_read(link_, id, fp), TARGET_OK);
    for (size_t i = 0; i < FP_REGISTER_COUNT; i++)
        EXPECT_EQ(fp[i], written[i]) << FP_REGISTERS[i].name;
    // The values are the core's own: it runs a turn with them (its integer
    // code leaves them alone) and they are there when it halts again.
    run_to_tick();
    ASSERT_EQ(fp_registers_read(link_, id, fp), TARGET_OK);
    for (size_t i = 0; i < FP_REGISTER_COUNT; i++)
        EXPECT_EQ(fp[i], written[i]) << FP_REGISTERS[i].name << " after a turn";
}

// tarvex-cli regs beside the session: the FP registers as written, after
// the core's, exactly on the cores that have them in use; the stack limits
// on Armv8-M Mainline alone.
TEST_P(core_model_test, cli_regs_shows_the_fp_registers_the_core_has)
{
    run_to_tick();
    core_identity id;
    ASSERT_EQ(identify(link_, &id), TARGET_OK);
    uint32_t written[FP_REGISTER_COUNT];
    for (size_t i = 0; i < FP_REGISTER_COUNT - 1; i++)
        written[i] = 0x3F800000u + static_cast<uint32_t>(i) * 0x00800000u; // 1.0, 2.0, 4.0, ...
    written[FP_REGISTER_COUNT - 1] = 0x00C00000;                           // FPSCR: round towards zero
    bool fp = GetParam().fpu != FPU_NONE;
    if (fp) {
        ASSERT_EQ(fp_registers_write(link_, id, written), TARGET_OK);
    }
    bool limits = id.arch == ARCH_V8M_MAINLINE;
    if (limits) {
        ASSERT_EQ(register_write(link_, CORE_REGISTERS[core_register_index("psplim")], 0x20000FF8), TARGET_OK);
    }
    std::string out, err, json;
    std::string port = std::to_string(server_.port);
    ASSERT_EQ(tarvex_test::run_to_end({TARVEX_CLI_PATH, "--port", port, "regs"}, &out, &err, 30000), 0) << err;
    ASSERT_EQ(tarvex_test::run_to_end({TARVEX_CLI_PATH, "--port", port, "regs", "--json"}, &json, &err, 30000), 0)
        << err;
    EXPECT_NE(out.find("pc       0x"), std::string::npos) << out;
    EXPECT_EQ(out.find("psplim   0x20000ff8\n") != std::string::npos, limits) << out;
    EXPECT_EQ(json.find("\"msplim\": ") != std::string::npos, limits) << json;
    if (!fp) {
        EXPECT_EQ(out.find("s0 "), std::string::npos) << out;
        EXPECT_EQ(json.find("\"fpscr\""), std::string::npos) << json;
        return;
    }
    EXPECT_NE(out.find("s0       0x3f800000 1\n"), std::string::npos) << out;
    EXPECT_NE(out.find("s3       0x41000000 8\n"), std::string::npos) << out;
    EXPECT_NE(out.find("fpscr    0x00c00000\n"), std::string::npos) << out;
    EXPECT_LT(out.find("psp "), out.find("s0 ")) << "after the core's registers";
    EXPECT_NE(json.find("\"s31\": " + std::to_string(written[31])), std::string::npos) << json;
    EXPECT_NE(json.find("\"fpscr\": " + std::to_string(written[32])), std::string::npos) << json;
}

// tarvex-cli flash on each core: the flash algorithm and the loader's
// helper (one Armv6-M build for all) erase, program, checksum and verify
// there. Another image first, then the test firmware back, which runs.
TEST_P(core_model_test, cli_flash_programs_and_verifies_on_that_core)
{
    detach(link_);
    std::string port = std::to_string(server_.port);
    for (const char *image : {SAMPLE_ELF, CORE_FIRMWARE_ELF}) {
        SCOPED_TRACE(image);
        std::string out, err;
        ASSERT_EQ(tarvex_test::run_to_end({TARVEX_CLI_PATH, "--port", port, "flash", image}, &out, &err, 60000), 0)
            << out << err;
        EXPECT_EQ(out.find(" 0 bytes programmed"), std::string::npos) << out;
        EXPECT_NE(out.find("bytes programmed"), std::string::npos) << out;
    }
    ASSERT_EQ(attach_register(link_, "core-model-test"), TARGET_OK);
    tarvex::probe_entry probe_entry;
    ASSERT_EQ(attach_find(link_, "0", &probe_entry), TARGET_OK);
    ASSERT_EQ(attach_open(link_, probe_entry), TARGET_OK);
    ASSERT_EQ(attach_debug_mode(link_), TARGET_OK);
    ASSERT_EQ(halt(link_), TARGET_OK);
    ASSERT_EQ(units_discover(link_, units_), TARGET_OK);
    run_to_tick();
}

// tarvex-cli run of the semihosting firmware's Armv6-M build on each core:
// its exit status is the verdict, and a fault is reported with what that
// core keeps of it: the fault status where the core has one, and on every
// core the frame it stacked, whose pc names the faulting function.
TEST_P(core_model_test, cli_run_gives_the_verdict_and_reports_a_fault)
{
    detach(link_);
    std::string port = std::to_string(server_.port);
    std::string out, err;
    EXPECT_EQ(tarvex_test::run_to_end({TARVEX_CLI_PATH, "--port", port, "run", SEMIHOST_M0_ELF, "--", "args", "exit=3"},
                                      &out, &err, 60000),
              3)
        << err;
    EXPECT_EQ(out, "args: args exit=3\n");
    out.clear();
    err.clear();
    ASSERT_EQ(tarvex_test::run_to_end({TARVEX_CLI_PATH, "--port", port, "run", SEMIHOST_M0_ELF, "--", "fault"}, &out,
                                      &err, 60000),
              139)
        << err;
    SCOPED_TRACE(err);
    size_t at = err.find("stacked on the main stack at 0x");
    ASSERT_NE(at, std::string::npos);
    EXPECT_NE(err.find("(basic frame)", at), std::string::npos);
    size_t pc = err.find("stacked pc 0x", at);
    ASSERT_NE(pc, std::string::npos);
    EXPECT_NE(err.substr(pc, err.find('\n', pc) - pc).find("semihost_fault_store"), std::string::npos);
    if (GetParam().arch == ARCH_V6M) {
        EXPECT_NE(err.find("no fault status registers (Armv6-M)"), std::string::npos);
        EXPECT_EQ(err.find("cfsr"), std::string::npos);
        EXPECT_NE(err.find("exception 3"), std::string::npos) << "a HardFault";
        return;
    }
    // The bus fault, escalated: BusFault is not enabled.
    EXPECT_NE(err.find("PRECISERR BFARVALID"), std::string::npos);
    EXPECT_NE(err.find(" FORCED"), std::string::npos);
    EXPECT_NE(err.find("bfar 0x60000000"), std::string::npos);
}

INSTANTIATE_TEST_SUITE_P(cores, core_model_test, ::testing::ValuesIn(CASES),
                         [](const ::testing::TestParamInfo<core_case> &info) { return std::string(info.param.core); });

} // namespace
