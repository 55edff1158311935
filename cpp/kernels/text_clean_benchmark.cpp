#include "kernels/text_clean.h"

#include <benchmark/benchmark.h>

#include <vector>

#include "kernels/benchmark_inputs.h"
#include "kernels/text_key.h"

namespace tabrix {
namespace {

using bench::Script;

void report(benchmark::State& state, const bench::TextColumn& col) {
    state.SetItemsProcessed(static_cast<int64_t>(state.iterations() * col.cells.size()));
    state.SetBytesProcessed(static_cast<int64_t>(state.iterations() * col.bytes));
}

// Cleans one cell by its storage width, as string cleaning does; returns the number of code
// points written to out (room for 3 per code unit).
size_t clean_cell(const bench::TextColumn& col, const bench::Text& t, uint32_t* out) {
    switch (t.unit) {
        case 1: return clean_ucs1(col.data(t), t.length, out);
        case 2: return clean_ucs2(col.ucs2(t), t.length, out);
        default: return clean_ucs4(col.ucs4(t), t.length, out);
    }
}

// ASCII cells: the check for already clean text, then the byte-table cleaning.
void BM_CleanAscii(benchmark::State& state) {
    const bench::TextColumn col = bench::text_column(Script::kAscii);
    std::vector<char> out(col.max_length);
    size_t clean = 0;
    for (auto _ : state) {
        clean = 0;
        for (const bench::Text& t : col.cells) {
            if (ascii_is_clean(col.chars(t), t.length)) {
                ++clean;
                continue;
            }
            benchmark::DoNotOptimize(clean_ascii(col.chars(t), t.length, out.data()));
            benchmark::ClobberMemory();
        }
    }
    report(state, col);
    state.counters["already_clean%"] = 100.0 * static_cast<double>(clean) / col.cells.size();
}
BENCHMARK(BM_CleanAscii);

// Code-point cleaning (case folding through the Unicode tables) for each storage width, and
// for a column mixing them as real data does (mostly ASCII).
void BM_CleanCodePoints(benchmark::State& state, Script script) {
    const bench::TextColumn col = bench::text_column(script);
    std::vector<uint32_t> out(3 * col.max_length);
    for (auto _ : state) {
        for (const bench::Text& t : col.cells) {
            benchmark::DoNotOptimize(clean_cell(col, t, out.data()));
            benchmark::ClobberMemory();
        }
    }
    report(state, col);
}
BENCHMARK_CAPTURE(BM_CleanCodePoints, latin1, Script::kLatin1);
BENCHMARK_CAPTURE(BM_CleanCodePoints, ucs2, Script::kWide);
BENCHMARK_CAPTURE(BM_CleanCodePoints, ucs4, Script::kAstral);
BENCHMARK_CAPTURE(BM_CleanCodePoints, mixed, Script::kMixed);

// Cleaning then UTF-8 encoding, the path of the hashed form (ASCII cells go through
// clean_ascii, whose bytes are already UTF-8).
void BM_CleanToUtf8(benchmark::State& state) {
    const bench::TextColumn col = bench::text_column(Script::kMixed);
    std::vector<uint32_t> cps(3 * col.max_length);
    std::vector<char> bytes(4 * cps.size());
    for (auto _ : state) {
        for (const bench::Text& t : col.cells) {
            size_t m;
            if (t.ascii) {
                m = clean_ascii(col.chars(t), t.length, bytes.data());
            } else {
                const size_t k = clean_cell(col, t, cps.data());
                m = utf8_encode(cps.data(), k, bytes.data());
            }
            benchmark::DoNotOptimize(m);
            benchmark::ClobberMemory();
        }
    }
    report(state, col);
}
BENCHMARK(BM_CleanToUtf8);

// Boolean words ("true", " False ", "TRUE", "no", ...): the branch-free form on two words
// against the general one on the same bytes.
void BM_ParseBoolWord(benchmark::State& state, bool words16) {
    static const char* kWords[] = {"true", "False", " TRUE ", "false\n", "no",
                                   "1",    "yes",   "t",      "truthy",  "  False  "};
    std::mt19937_64 rng(4);
    std::vector<std::string> cells;
    std::vector<TextKey> keys;
    size_t bytes = 0;
    for (size_t i = 0; i < bench::kCells; ++i) {
        cells.emplace_back(kWords[rng() % 10]);
        keys.push_back(TextKey::make(cells.back().data(), cells.back().size(), 1));
        bytes += cells.back().size();
    }
    for (auto _ : state) {
        int sum = 0;
        for (size_t i = 0; i < cells.size(); ++i) {
            const std::string& s = cells[i];
            const auto* bytes = reinterpret_cast<const uint8_t*>(s.data());
            sum += words16 ? parse_bool_word_ascii16(keys[i].head[0], keys[i].head[1], s.size())
                           : parse_bool_word_ucs1(bytes, s.size());
        }
        benchmark::DoNotOptimize(sum);
    }
    state.SetItemsProcessed(static_cast<int64_t>(state.iterations() * cells.size()));
    state.SetBytesProcessed(static_cast<int64_t>(state.iterations() * bytes));
}
BENCHMARK_CAPTURE(BM_ParseBoolWord, ascii16, true);
BENCHMARK_CAPTURE(BM_ParseBoolWord, ucs1, false);

}  // namespace
}  // namespace tabrix
