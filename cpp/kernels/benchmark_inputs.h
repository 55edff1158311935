// Generated inputs for the kernel benchmarks: columns of tabular text and number strings,
// stored the way Python stores str (code units of 1, 2 or 4 bytes, the narrowest that hold
// every character). Fixed seeds, so every run sees the same data.
#pragma once

#include <cmath>
#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <random>
#include <string>
#include <vector>

namespace tabrix {
namespace bench {

constexpr size_t kCells = 100000;

// One cell of a TextColumn.
struct Text {
    size_t offset;  // of its code units in TextColumn::storage (a multiple of 4)
    size_t length;  // in code units
    unsigned unit;  // bytes per code unit: 1, 2 or 4
    bool ascii;
    size_t nbytes() const { return length * unit; }
};

class TextColumn {
public:
    void add(const std::u32string& s) {
        char32_t top = 0;
        for (char32_t c : s) top = c > top ? c : top;
        Text t{storage.size(), s.size(), top < 0x100 ? 1u : top < 0x10000 ? 2u : 4u, top < 0x80};
        storage.resize(t.offset + ((t.nbytes() + 3) & ~size_t(3)));
        for (size_t i = 0; i < s.size(); ++i) {
            const uint32_t c = s[i];
            unsigned char* p = storage.data() + t.offset + i * t.unit;
            if (t.unit == 1) *p = static_cast<unsigned char>(c);
            if (t.unit == 2) {
                const uint16_t u = static_cast<uint16_t>(c);
                std::memcpy(p, &u, 2);
            }
            if (t.unit == 4) std::memcpy(p, &c, 4);
        }
        cells.push_back(t);
        bytes += t.nbytes();
        max_length = t.length > max_length ? t.length : max_length;
    }

    const unsigned char* data(const Text& t) const { return storage.data() + t.offset; }
    const char* chars(const Text& t) const { return reinterpret_cast<const char*>(data(t)); }
    const uint16_t* ucs2(const Text& t) const { return reinterpret_cast<const uint16_t*>(data(t)); }
    const uint32_t* ucs4(const Text& t) const { return reinterpret_cast<const uint32_t*>(data(t)); }

    std::vector<Text> cells;
    std::vector<unsigned char> storage;  // heap memory: aligned for every code unit size
    size_t bytes = 0;                    // code-unit bytes of all cells
    size_t max_length = 0;               // of a cell, in code units
};

// Kinds of text, to measure each code path apart or all of them mixed as in real columns.
enum class Script { kAscii, kLatin1, kWide, kAstral, kMixed };

inline std::u32string pick(std::mt19937_64& rng, const std::vector<std::u32string>& from) {
    return from[rng() % from.size()];
}

// A cell of a text column: one to three words joined by a space or punctuation, in the case
// people type them.
inline std::u32string tabular_text(std::mt19937_64& rng, Script script) {
    static const std::vector<std::u32string> ascii = {U"New York",
                                                      U"O'Brien",
                                                      U"ACME Corp.",
                                                      U"n/a",
                                                      U"Main St. #12",
                                                      U"e-mail",
                                                      U"Yes",
                                                      U"NO",
                                                      U"id_42",
                                                      U"2023-01-05",
                                                      U"$1,200.50",
                                                      U"(unknown)",
                                                      U"red",
                                                      U"Blue",
                                                      U"GREEN",
                                                      U"small",
                                                      U"Large",
                                                      U"x",
                                                      U"Q3",
                                                      U"self-employed",
                                                      U"Bachelors",
                                                      U"HS-grad",
                                                      U"Male",
                                                      U"female",
                                                      U"United-States",
                                                      U"Sales",
                                                      U"Exec-managerial",
                                                      U"never married",
                                                      U"ok!"};
    static const std::vector<std::u32string> latin1 = {
        U"Café",     U"Zoë",    U"São Paulo", U"Straße",  U"Ñandú",   U"Müller", U"crème brûlée",
        U"Ångström", U"façade", U"µg/l",      U"Øresund", U"déjà vu", U"½ price"};
    static const std::vector<std::u32string> wide = {
        U"Zürich–Genève", U"Αθήνα", U"Москва", U"東京都", U"İstanbul",  U"“quoted”",
        U"€ 12,50",       U"Łódź",  U"Ελλάδα", U"서울",   U"naïve – ok"};
    static const std::vector<std::u32string> astral = {U"🍕 Pizza", U"Café ☕🙂", U"𝐁𝐨𝐥𝐝 text",
                                                       U"👍 ok"};
    static const std::u32string joins[] = {U" ", U" ", U"-", U", ", U"_", U"/"};
    Script s = script;
    if (s == Script::kMixed) {
        const unsigned r = static_cast<unsigned>(rng() % 100);
        s = r < 85   ? Script::kAscii
            : r < 93 ? Script::kLatin1
            : r < 99 ? Script::kWide
                     : Script::kAstral;
    }
    const std::vector<std::u32string>& words = s == Script::kAscii    ? ascii
                                               : s == Script::kLatin1 ? latin1
                                               : s == Script::kWide   ? wide
                                                                      : astral;
    std::u32string out = pick(rng, words);
    for (size_t k = rng() % 3; k > 0; --k) out += joins[rng() % 6] + pick(rng, ascii);
    switch (rng() % 4) {
        case 0:  // lower case (ASCII letters only: enough to vary the case mix)
            for (char32_t& c : out) c = (c >= U'A' && c <= U'Z') ? c + 32 : c;
            break;
        case 1:
            for (char32_t& c : out) c = (c >= U'a' && c <= U'z') ? c - 32 : c;
            break;
        default: break;
    }
    return out;
}

inline TextColumn text_column(Script script, size_t n = kCells, uint64_t seed = 1) {
    std::mt19937_64 rng(seed);
    TextColumn col;
    for (size_t i = 0; i < n; ++i) col.add(tabular_text(rng, script));
    return col;
}

// Number strings as found in files.
enum class Numbers { kShortDecimal, kInteger, kLongExponent, kJunk, kMixed };

inline std::string number_text(std::mt19937_64& rng, Numbers kind) {
    static const char* junk[] = {"",    "NA", "n/a", "?",    "abc", "12a",  "1.2.3",
                                 "--1", "1e", " ",   "NULL", "$12", "1,200"};
    std::uniform_real_distribution<double> unit(-1.0, 1.0);
    char buf[64];
    Numbers k = kind;
    if (k == Numbers::kMixed) {
        const unsigned r = static_cast<unsigned>(rng() % 100);
        k = r < 45   ? Numbers::kShortDecimal
            : r < 75 ? Numbers::kInteger
            : r < 90 ? Numbers::kLongExponent
                     : Numbers::kJunk;
    }
    switch (k) {
        case Numbers::kShortDecimal:
            std::snprintf(buf, sizeof buf, "%.*f", static_cast<int>(rng() % 5), 1e4 * unit(rng));
            break;
        case Numbers::kInteger:
            std::snprintf(buf, sizeof buf, "%lld",
                          static_cast<long long>(rng() % 2000001) - 1000000);
            break;
        case Numbers::kLongExponent:
            // Full precision ("1.2345678901234567e-120") or short ("6.02214e+23").
            std::snprintf(buf, sizeof buf, rng() % 2 ? "%.17e" : "%.6g",
                          unit(rng) * std::pow(10.0, static_cast<int>(rng() % 601) - 300));
            break;
        default: return junk[rng() % (sizeof junk / sizeof junk[0])];
    }
    return buf;
}

// Plain strings for the ASCII parser, and their total size.
struct NumberColumn {
    std::vector<std::string> cells;
    size_t bytes = 0;
};

inline NumberColumn number_column(Numbers kind, size_t n = kCells, uint64_t seed = 2) {
    std::mt19937_64 rng(seed);
    NumberColumn col;
    for (size_t i = 0; i < n; ++i) {
        col.cells.push_back(number_text(rng, kind));
        col.bytes += col.cells.back().size();
    }
    return col;
}

// Mixed numbers with their digits written in another script (zero of that script at `zero`),
// and surrounded by `blank`, as Python's float() accepts them.
inline TextColumn unicode_number_column(char32_t zero, char32_t blank, size_t n = kCells) {
    std::mt19937_64 rng(3);
    TextColumn col;
    for (size_t i = 0; i < n; ++i) {
        std::u32string s(1, blank);
        for (char c : number_text(rng, Numbers::kMixed))
            s += (c >= '0' && c <= '9') ? zero + static_cast<char32_t>(c - '0') : char32_t(c);
        col.add(s + blank);
    }
    return col;
}

}  // namespace bench
}  // namespace tabrix
