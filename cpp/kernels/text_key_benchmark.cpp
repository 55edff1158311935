// Text keys and the hash sets over them: building the key of a cell, looking cells up in a
// set of known texts (hits and misses), and collecting the distinct texts of a column.
#include "kernels/text_key.h"

#include <benchmark/benchmark.h>

#include <cstring>
#include <string>
#include <unordered_set>
#include <vector>

#include "kernels/benchmark_inputs.h"
#include "kernels/hash_table.h"

namespace tabrix {
namespace {

using bench::Script;

// `n` different tabular texts.
std::vector<std::u32string> distinct_texts(size_t n, uint64_t seed) {
    std::mt19937_64 rng(seed);
    std::unordered_set<std::u32string> seen;
    std::vector<std::u32string> out;
    while (out.size() < n) {
        std::u32string s = bench::tabular_text(rng, Script::kMixed);
        if (seen.insert(s).second) out.push_back(std::move(s));
    }
    return out;
}

TextKey key_of(const bench::TextColumn& col, const bench::Text& t, uint32_t extra) {
    TextKey k = TextKey::make(col.data(t), t.nbytes(), t.unit);
    k.extra = extra;
    return k;
}

// Equal texts: the same head, and beyond 16 bytes the same remaining bytes.
bool same_text(const bench::TextColumn& a, const bench::Text& ta, const TextKey& ka,
               const bench::TextColumn& b, const bench::Text& tb, const TextKey& kb) {
    return ka.same_head(kb) && (ta.nbytes() <= 16 || std::memcmp(a.data(ta) + 16, b.data(tb) + 16,
                                                                 ta.nbytes() - 16) == 0);
}

void BM_TextKeyMakeAndHash(benchmark::State& state) {
    const bench::TextColumn col = bench::text_column(Script::kMixed);
    for (auto _ : state) {
        uint64_t acc = 0;
        for (const bench::Text& t : col.cells)
            acc ^= TextKey::make(col.data(t), t.nbytes(), t.unit).hash(col.data(t), t.nbytes());
        benchmark::DoNotOptimize(acc);
    }
    state.SetItemsProcessed(static_cast<int64_t>(state.iterations() * col.cells.size()));
    state.SetBytesProcessed(static_cast<int64_t>(state.iterations() * col.bytes));
}
BENCHMARK(BM_TextKeyMakeAndHash);

// Cells looked up in a set of range(0) texts, range(1) percent of them present: a few
// missing-value markers, the known categories of a column, a large vocabulary. Each probe
// builds its key and hash from its own copy of the text, as a lookup of a cell does; with
// range(2) > 0 that many cells ahead, their slots prefetched.
void BM_TextSetFind(benchmark::State& state) {
    const size_t set_size = static_cast<size_t>(state.range(0));
    const unsigned hit_pct = static_cast<unsigned>(state.range(1));
    const size_t ahead = static_cast<size_t>(state.range(2));
    const size_t kMissPool = 20000;
    const std::vector<std::u32string> texts = distinct_texts(set_size + kMissPool, 7);

    bench::TextColumn members;
    FlatHashSet<TextKey> set;
    for (size_t i = 0; i < set_size; ++i) {
        members.add(texts[i]);
        const bench::Text& t = members.cells.back();
        const TextKey k = key_of(members, t, static_cast<uint32_t>(i));
        set.insert(k.hash(members.data(t), t.nbytes()), k);
    }
    std::mt19937_64 rng(8);
    bench::TextColumn probes;
    for (size_t i = 0; i < bench::kCells; ++i) {
        const bool hit = rng() % 100 < hit_pct;
        probes.add(hit ? texts[rng() % set_size] : texts[set_size + rng() % kMissPool]);
    }

    struct Probe {
        TextKey key;
        uint64_t hash;
    };
    constexpr size_t kRing = 32;  // more than any distance ahead
    Probe ring[kRing];
    const size_t n = probes.cells.size();
    auto prepare = [&](size_t i) {
        const bench::Text& t = probes.cells[i];
        Probe& p = ring[i % kRing];
        p.key = TextKey::make(probes.data(t), t.nbytes(), t.unit);
        p.hash = p.key.hash(probes.data(t), t.nbytes());
        if (ahead) set.prefetch(p.hash);
    };
    size_t found = 0;
    for (auto _ : state) {
        found = 0;
        for (size_t i = 0; i < ahead && i < n; ++i) prepare(i);
        for (size_t i = 0; i < n; ++i) {
            if (i + ahead < n) prepare(i + ahead);
            const Probe& p = ring[i % kRing];
            const bench::Text& t = probes.cells[i];
            const TextKey* e = set.find(p.hash, [&](const TextKey& m) {
                return same_text(probes, t, p.key, members, members.cells[m.extra], m);
            });
            found += e != nullptr;
        }
        benchmark::DoNotOptimize(found);
    }
    state.SetItemsProcessed(static_cast<int64_t>(state.iterations() * n));
    state.SetBytesProcessed(static_cast<int64_t>(state.iterations() * probes.bytes));
    state.counters["found%"] = 100.0 * static_cast<double>(found) / n;
}
BENCHMARK(BM_TextSetFind)
    ->ArgNames({"set", "hit%", "ahead"})
    ->Args({16, 5, 0})
    ->Args({1000, 90, 0})
    ->Args({100000, 50, 0})
    ->Args({100000, 50, 16});

// The distinct texts of a column in order of first appearance, among range(0) different
// values: a fresh ordered table per pass, one lookup per cell and an insert per new text.
void BM_DistinctTexts(benchmark::State& state) {
    const size_t k = static_cast<size_t>(state.range(0));
    const std::vector<std::u32string> texts = distinct_texts(k, 9);
    std::mt19937_64 rng(10);
    bench::TextColumn col;
    for (size_t i = 0; i < bench::kCells; ++i) col.add(texts[rng() % k]);

    size_t distinct = 0;
    for (auto _ : state) {
        OrderedHashTable<TextKey> table;
        for (uint32_t i = 0; i < col.cells.size(); ++i) {
            const bench::Text& t = col.cells[i];
            const TextKey key = key_of(col, t, i);
            const uint64_t h = key.hash(col.data(t), t.nbytes());
            if (table.find(h, [&](const TextKey& m) {
                    return same_text(col, t, key, col, col.cells[m.extra], m);
                }) < 0)
                table.insert(h, key);
        }
        distinct = table.size();
        benchmark::DoNotOptimize(distinct);
    }
    state.SetItemsProcessed(static_cast<int64_t>(state.iterations() * col.cells.size()));
    state.SetBytesProcessed(static_cast<int64_t>(state.iterations() * col.bytes));
    state.counters["distinct"] = static_cast<double>(distinct);
}
BENCHMARK(BM_DistinctTexts)->ArgName("values")->Arg(50)->Arg(5000);

}  // namespace
}  // namespace tabrix
