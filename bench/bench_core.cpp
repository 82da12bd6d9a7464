// The emulated core's speed: instructions retired per CPU-second of the
// executor, in process over a private bus, with turns of a millisecond's
// budget back to back (no pacing). Rows: the sample firmware, woken for
// every turn as if 10 ms had passed, a loop that erases a flash sector
// and polls the busy flag as the flash algorithm does, and a register loop
// without and with the SysTick interrupting it at 1 kHz (its handler
// counts in RAM): their ratio is what taking exceptions costs. The counter
// instructions_per_cpu_s divided by the nominal clock is the share of a CPU
// that a core running at its pace costs.
#include <benchmark/benchmark.h>

#include <fstream>
#include <utility>
#include <iterator>
#include <vector>

#include "emulated_core.h"
#include "probe_bus.h"
#include "probe_model.h"
#include "target_scs.h"

namespace
{

using namespace vprobe;

constexpr uint32_t SLICE = CORE_HZ / 1000;
constexpr uint64_t TURN_US = 10000; // the sample firmware's SysTick period

struct core_bench {
    probe_bus bus{};
    probe_view v{};
    emu_core *core = nullptr;

    ~core_bench()
    {
        emu_core_close(core);
        bus_close(bus);
    }
    // 0 when the image at path runs from reset.
    int start(const char *path)
    {
        std::ifstream in(path, std::ios::binary);
        std::vector<uint8_t> image((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
        probe_config cfg;
        config_defaults(cfg);
        if (image.empty() || bus_create_private(bus, 8u << 20) != 0 || bus_add_probe(bus, cfg) != 0)
            return -1;
        v = bus_view(bus, 0);
        core = emu_core_open(bus, 0);
        return core != nullptr ? probe_load_image(v, image.data(), image.size()) : -1;
    }
};

// The SysTick's registers as firmware sets them: a period of RVR + 1 core
// cycles with TICKINT, on the core clock.
void systick_every(probe_view &v, uint32_t cycles)
{
    const std::pair<uint32_t, uint32_t> writes[] = {{0xE000E014, cycles - 1}, {0xE000E018, 0}, {0xE000E010, 7}};
    for (const auto &[addr, value] : writes) {
        uint8_t b[4] = {static_cast<uint8_t>(value), static_cast<uint8_t>(value >> 8),
                        static_cast<uint8_t>(value >> 16), static_cast<uint8_t>(value >> 24)};
        target_write(v, addr, b, 4);
    }
}

void run_turns(benchmark::State &state, const char *path, uint64_t step_us, uint32_t systick_cycles = 0)
{
    core_bench b;
    if (b.start(path) != 0) {
        state.SkipWithError("the image did not load");
        return;
    }
    if (systick_cycles != 0)
        systick_every(b.v, systick_cycles);
    const core_debug &d = b.v.rec->st.core;
    uint64_t now = scs_now_us();
    uint64_t before = d.instructions;
    for (auto _ : state) {
        emu_core_turn(b.core, SLICE, now);
        now += step_us;
    }
    state.counters["instructions_per_cpu_s"] =
        benchmark::Counter(static_cast<double>(d.instructions - before), benchmark::Counter::kIsRate);
    state.counters["core_hz"] = CORE_HZ;
}

void BM_CoreSampleFirmware(benchmark::State &state)
{
    run_turns(state, SAMPLE_BIN, TURN_US);
}
BENCHMARK(BM_CoreSampleFirmware);

void BM_CoreFlashBusyPoll(benchmark::State &state)
{
    run_turns(state, CORE_POLL_BIN, 1000);
}
BENCHMARK(BM_CoreFlashBusyPoll);

void BM_CoreCountLoop(benchmark::State &state)
{
    run_turns(state, EXCEPTION_CASES_BIN, 1000);
}
BENCHMARK(BM_CoreCountLoop);

void BM_CoreCountLoopSysTick1kHz(benchmark::State &state)
{
    run_turns(state, EXCEPTION_CASES_BIN, 1000, CORE_HZ / 1000);
}
BENCHMARK(BM_CoreCountLoopSysTick1kHz);

} // namespace

BENCHMARK_MAIN();
