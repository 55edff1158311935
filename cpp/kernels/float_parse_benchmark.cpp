#include "kernels/float_parse.h"

#include <benchmark/benchmark.h>

#include "kernels/benchmark_inputs.h"
#include "kernels/text_key.h"

namespace tabrix {
namespace {

using bench::Numbers;

void report(benchmark::State& state, size_t cells, size_t bytes) {
    state.SetItemsProcessed(static_cast<int64_t>(state.iterations() * cells));
    state.SetBytesProcessed(static_cast<int64_t>(state.iterations() * bytes));
}

// The general parser over each kind of number string, and over a mix as found in files.
void BM_ParseAscii(benchmark::State& state, Numbers kind) {
    const bench::NumberColumn col = bench::number_column(kind);
    for (auto _ : state) {
        for (const std::string& s : col.cells) {
            double v = 0;
            benchmark::DoNotOptimize(parse_float_ascii(s.data(), s.size(), &v));
            benchmark::DoNotOptimize(v);
        }
    }
    report(state, col.cells.size(), col.bytes);
}
BENCHMARK_CAPTURE(BM_ParseAscii, short_decimal, Numbers::kShortDecimal);
BENCHMARK_CAPTURE(BM_ParseAscii, integer, Numbers::kInteger);
BENCHMARK_CAPTURE(BM_ParseAscii, long_exponent, Numbers::kLongExponent);
BENCHMARK_CAPTURE(BM_ParseAscii, junk, Numbers::kJunk);
BENCHMARK_CAPTURE(BM_ParseAscii, mixed, Numbers::kMixed);

// The short cut tried first on texts of up to 16 bytes, then the general parser for whatever
// it declines, as the float conversion does per cell. The words are made outside the loop.
void BM_ParseShortCutThenGeneral(benchmark::State& state, Numbers kind) {
    const bench::NumberColumn col = bench::number_column(kind);
    std::vector<TextKey> keys;
    for (const std::string& s : col.cells) keys.push_back(TextKey::make(s.data(), s.size(), 1));
    size_t taken = 0;
    for (auto _ : state) {
        taken = 0;
        for (size_t i = 0; i < keys.size(); ++i) {
            const std::string& s = col.cells[i];
            double v = 0;
            const TextKey& k = keys[i];
            if (s.size() <= 16 && parse_simple_decimal16(k.head[0], k.head[1], s.size(), &v))
                ++taken;
            else
                parse_float_ascii(s.data(), s.size(), &v);
            benchmark::DoNotOptimize(v);
        }
    }
    report(state, col.cells.size(), col.bytes);
    state.counters["short_cut%"] = 100.0 * static_cast<double>(taken) / keys.size();
}
BENCHMARK_CAPTURE(BM_ParseShortCutThenGeneral, short_decimal, Numbers::kShortDecimal);
BENCHMARK_CAPTURE(BM_ParseShortCutThenGeneral, integer, Numbers::kInteger);
BENCHMARK_CAPTURE(BM_ParseShortCutThenGeneral, mixed, Numbers::kMixed);

// Wider strings: numbers padded with a no-break space (Latin-1), written in Arabic-Indic
// digits (2-byte units) or mathematical bold digits (4-byte units).
void BM_ParseUnicode(benchmark::State& state, char32_t zero, char32_t blank) {
    const bench::TextColumn col = bench::unicode_number_column(zero, blank);
    for (auto _ : state) {
        for (const bench::Text& t : col.cells) {
            double v = 0;
            if (t.unit == 1)
                parse_float_ucs1(col.data(t), t.length, &v);
            else if (t.unit == 2)
                parse_float_ucs2(col.ucs2(t), t.length, &v);
            else
                parse_float_ucs4(col.ucs4(t), t.length, &v);
            benchmark::DoNotOptimize(v);
        }
    }
    report(state, col.cells.size(), col.bytes);
}
BENCHMARK_CAPTURE(BM_ParseUnicode, ucs1_nbsp, U'0', U'\u00a0');
BENCHMARK_CAPTURE(BM_ParseUnicode, ucs2_arabic_indic, U'\u0660', U' ');
BENCHMARK_CAPTURE(BM_ParseUnicode, ucs4_bold_digits, U'\U0001D7CE', U' ');

}  // namespace
}  // namespace tabrix
