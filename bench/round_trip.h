// Timing helpers shared by the benchmarks.
#pragma once

#include <benchmark/benchmark.h>
#include <sched.h>
#include <unistd.h>

#include <algorithm>
#include <array>
#include <chrono>
#include <cmath>
#include <cstddef>
#include <functional>
#include <vector>

// One round trip per benchmark iteration: the mean wall time of one.
template <typename F> double seconds_per_round_trip(benchmark::State &state, F round_trip)
{
    auto start = std::chrono::steady_clock::now();
    for (auto _ : state)
        round_trip();
    std::chrono::duration<double> spent = std::chrono::steady_clock::now() - start;
    return state.iterations() > 0 ? spent.count() / static_cast<double>(state.iterations()) : 0;
}

// A row and its references, one call of each per iteration in turn, so that
// all of them sample the same moments however the machine's speed drifts
// (on a shared virtual machine it drifts by more than the differences a row
// is meant to show). The mean wall time of one call of each, in order.
template <size_t N>
std::array<double, N> paired_seconds(benchmark::State &state, const std::array<std::function<void()>, N> &steps)
{
    std::array<double, N> spent{};
    for (auto _ : state) {
        for (size_t i = 0; i < N; i++) {
            auto start = std::chrono::steady_clock::now();
            steps[i]();
            spent[i] += std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
        }
    }
    for (double &s : spent)
        s = state.iterations() > 0 ? s / static_cast<double>(state.iterations()) : 0;
    return spent;
}

// The counters the summary table reads: the row's time, its limit (the sum
// of its references, taken in the same iterations) and limit / row.
inline void report_pair(benchmark::State &state, double measured_s, double reference_s)
{
    state.counters["measured_us"] = measured_s * 1e6;
    state.counters["reference_us"] = reference_s * 1e6;
    if (measured_s > 0)
        state.counters["ratio"] = reference_s / measured_s;
}

// Round trips in microseconds, one per request.
using samples = std::vector<double>;

// The nearest-rank percentile p (0..1) of the samples; 0 when there are none.
inline double percentile(samples s, double p)
{
    if (s.empty())
        return 0;
    std::sort(s.begin(), s.end());
    size_t rank = static_cast<size_t>(std::ceil(p * static_cast<double>(s.size())));
    return s[std::max<size_t>(rank, 1) - 1];
}

// Round trips between two CPUs cost several times one on a single CPU, and
// which one a run gets depends on where the scheduler puts each side. The
// benchmark client therefore stays on the first CPU and every peer (the
// server, an echo thread) on the last, so that every round trip crosses the
// same way. tid 0 is the calling thread; nothing is pinned on one CPU.
inline void pin_to_cpu(pid_t tid, bool peer)
{
    long cpus = sysconf(_SC_NPROCESSORS_ONLN);
    if (cpus < 2)
        return;
    cpu_set_t set;
    CPU_ZERO(&set);
    CPU_SET(peer ? static_cast<int>(cpus - 1) : 0, &set);
    sched_setaffinity(tid, sizeof(set), &set);
}
