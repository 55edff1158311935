// Number keys and their set: membership of float cells (hits, misses, NaN) and the distinct
// values of a numeric column.
#include "kernels/num_key.h"

#include <benchmark/benchmark.h>

#include <cmath>
#include <vector>

#include "kernels/benchmark_inputs.h"

namespace tabrix {
namespace {

// Value i of a numeric column: whole numbers and halves, as codes and prices are.
double value(size_t i) {
    return i % 2 ? static_cast<double>(i) : static_cast<double>(i) * 1.5 + 0.25;
}

// Float cells looked up in a set of range(0) numbers, range(1) percent of them present and
// 2% NaN (the set holds NaN too).
void BM_NumSetContains(benchmark::State& state) {
    const size_t set_size = static_cast<size_t>(state.range(0));
    const unsigned hit_pct = static_cast<unsigned>(state.range(1));
    NumKeySet set;
    for (size_t i = 0; i < set_size; ++i) set.insert(NumKey::from_double(value(i)));
    set.has_nan = true;
    std::mt19937_64 rng(11);
    std::vector<double> cells(bench::kCells);
    for (double& c : cells) {
        const unsigned r = static_cast<unsigned>(rng() % 100);
        c = r < 2             ? std::nan("")
            : r < 2 + hit_pct ? value(rng() % set_size)
                              : value(set_size + rng() % 100000);
    }
    size_t found = 0;
    for (auto _ : state) {
        found = 0;
        for (double c : cells) found += set.contains_double(c);
        benchmark::DoNotOptimize(found);
    }
    state.SetItemsProcessed(static_cast<int64_t>(state.iterations() * cells.size()));
    state.counters["found%"] = 100.0 * static_cast<double>(found) / cells.size();
}
BENCHMARK(BM_NumSetContains)
    ->ArgNames({"set", "hit%"})
    ->Args({16, 5})
    ->Args({1000, 90})
    ->Args({100000, 50});

// Distinct values of an int64 column among range(0) different ones: a fresh set per pass.
void BM_DistinctNumbers(benchmark::State& state) {
    const size_t k = static_cast<size_t>(state.range(0));
    std::mt19937_64 rng(12);
    std::vector<int64_t> cells(bench::kCells);
    for (int64_t& c : cells) c = static_cast<int64_t>(rng() % k) * 7 - 1000;
    size_t distinct = 0;
    for (auto _ : state) {
        NumKeySet seen;
        distinct = 0;
        for (int64_t c : cells) distinct += seen.insert(NumKey::from_int64(c));
        benchmark::DoNotOptimize(distinct);
    }
    state.SetItemsProcessed(static_cast<int64_t>(state.iterations() * cells.size()));
    state.counters["distinct"] = static_cast<double>(distinct);
}
BENCHMARK(BM_DistinctNumbers)->ArgName("values")->Arg(50)->Arg(5000);

}  // namespace
}  // namespace tabrix
