// What splitting work over threads costs: starting and joining the threads of one call, and
// the share of a small input that it eats.
#include "kernels/parallel.h"

#include <benchmark/benchmark.h>

#include <cmath>
#include <vector>

namespace tabrix {
namespace {

// An empty parallel_for over as many tasks as threads: the fixed cost of a call.
void BM_ParallelForStart(benchmark::State& state) {
    const unsigned threads = static_cast<unsigned>(state.range(0));
    for (auto _ : state) {
        parallel_for(threads, threads, [](size_t i, unsigned) { benchmark::DoNotOptimize(i); });
    }
}
BENCHMARK(BM_ParallelForStart)->Arg(1)->Arg(2)->Arg(4)->Arg(8)->UseRealTime();

// About 25 ns of work per cell (as parsing a short number costs), split into chunks of 4096.
void BM_ParallelForCells(benchmark::State& state) {
    const size_t cells = static_cast<size_t>(state.range(0));
    const unsigned threads = static_cast<unsigned>(state.range(1));
    std::vector<double> out(cells);
    const size_t chunk = 4096, ntasks = (cells + chunk - 1) / chunk;
    for (auto _ : state) {
        parallel_for(ntasks, threads, [&](size_t t, unsigned) {
            const size_t end = (t + 1) * chunk < cells ? (t + 1) * chunk : cells;
            for (size_t i = t * chunk; i < end; ++i) {
                double x = static_cast<double>(i);
                for (int k = 0; k < 12; ++k) x = std::sqrt(x + 1.0);
                out[i] = x;
            }
        });
        benchmark::DoNotOptimize(out.data());
    }
    state.SetItemsProcessed(static_cast<int64_t>(state.iterations() * cells));
}
BENCHMARK(BM_ParallelForCells)->ArgsProduct({{4096, 16384, 65536, 1 << 20}, {1, 2}})->UseRealTime();

}  // namespace
}  // namespace tabrix
