#include "kernels/hash64.h"

#include <benchmark/benchmark.h>

#include <vector>

#include "kernels/benchmark_inputs.h"

namespace tabrix {
namespace {

using bench::Script;

// Short cells of a text column (their stored bytes), as hashed one at a time.
template <uint64_t (*Hash)(const void*, size_t)>
void BM_HashCells(benchmark::State& state) {
    const bench::TextColumn col = bench::text_column(Script::kMixed);
    for (auto _ : state) {
        uint64_t acc = 0;
        for (const bench::Text& t : col.cells) acc ^= Hash(col.data(t), t.nbytes());
        benchmark::DoNotOptimize(acc);
    }
    state.SetItemsProcessed(static_cast<int64_t>(state.iterations() * col.cells.size()));
    state.SetBytesProcessed(static_cast<int64_t>(state.iterations() * col.bytes));
}

uint64_t table_hash(const void* p, size_t n) {
    return table_hash_bytes(p, n, 0x9e3779b97f4a7c15ULL);
}

BENCHMARK_TEMPLATE(BM_HashCells, fnv1a64);
BENCHMARK_TEMPLATE(BM_HashCells, table_hash);

// One buffer of state.range(0) bytes: the cost per byte once the per-call cost is gone.
template <uint64_t (*Hash)(const void*, size_t)>
void BM_HashLength(benchmark::State& state) {
    const size_t n = static_cast<size_t>(state.range(0));
    std::vector<unsigned char> buf(n);
    std::mt19937_64 rng(5);
    for (unsigned char& b : buf) b = static_cast<unsigned char>(rng());
    for (auto _ : state) benchmark::DoNotOptimize(Hash(buf.data(), n));
    state.SetBytesProcessed(static_cast<int64_t>(state.iterations() * n));
}
BENCHMARK_TEMPLATE(BM_HashLength, fnv1a64)->RangeMultiplier(4)->Range(8, 2048);
BENCHMARK_TEMPLATE(BM_HashLength, table_hash)->RangeMultiplier(4)->Range(8, 2048);

// The word finalizer over a column of integers (number keys are hashed with it).
void BM_Mix64(benchmark::State& state) {
    std::vector<uint64_t> v(bench::kCells);
    std::mt19937_64 rng(6);
    for (uint64_t& x : v) x = rng() % 1000000;
    for (auto _ : state) {
        uint64_t acc = 0;
        for (uint64_t x : v) acc += mix64(x);
        benchmark::DoNotOptimize(acc);
    }
    state.SetItemsProcessed(static_cast<int64_t>(state.iterations() * v.size()));
}
BENCHMARK(BM_Mix64);

}  // namespace
}  // namespace tabrix
