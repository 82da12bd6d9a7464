// Timing helper shared by the benchmarks: runs one round trip per benchmark
// iteration and returns the mean wall time of one, so that a later row can
// report its ratio to an earlier one of the same run.
#pragma once

#include <benchmark/benchmark.h>

#include <chrono>

template <typename F> double seconds_per_round_trip(benchmark::State &state, F round_trip)
{
    auto start = std::chrono::steady_clock::now();
    for (auto _ : state)
        round_trip();
    std::chrono::duration<double> spent = std::chrono::steady_clock::now() - start;
    return state.iterations() > 0 ? spent.count() / static_cast<double>(state.iterations()) : 0;
}
