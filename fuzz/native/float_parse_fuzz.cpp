// libFuzzer target for the float parser of cpp/kernels: the result of each input is checked
// against the C library's strtod (C locale), and the UCS forms and the 16-byte short cut
// against the ASCII form.
#include <cmath>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

#include "kernels/float_parse.h"

namespace {

uint64_t bits(double d) {
    uint64_t u;
    std::memcpy(&u, &d, sizeof u);
    return u;
}

[[noreturn]] void finding(const char* what, const std::string& text, double got, double want) {
    std::fprintf(stderr,
                 "FINDING: %s for \"%s\": got %.17g (0x%016llx), expected %.17g (0x%016llx)\n",
                 what, text.c_str(), got, static_cast<unsigned long long>(bits(got)), want,
                 static_cast<unsigned long long>(bits(want)));
    std::abort();
}

bool is_blank(char c) { return c == ' ' || (c >= '\t' && c <= '\r'); }

// The text without its blanks at both ends (the ASCII form's whitespace).
std::string trimmed(const std::string& s) {
    size_t b = 0, e = s.size();
    while (b < e && is_blank(s[b])) ++b;
    while (e > b && is_blank(s[e - 1])) --e;
    return s.substr(b, e - b);
}

// strtod of the whole text; false unless it reads every character.
bool strtod_whole(const std::string& t, double* out) {
    if (t.empty() || std::memchr(t.data(), '\0', t.size())) return false;
    char* end = nullptr;
    *out = std::strtod(t.c_str(), &end);
    return end == t.c_str() + t.size();
}

// Forms strtod reads that float() does not: hexadecimal numbers and "nan(...)".
bool strtod_only_form(const std::string& t) {
    return t.find_first_of("xXpP(") != std::string::npos;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    if (size > 400) return 0;
    const std::string text(reinterpret_cast<const char*>(data), size);
    double got = 0.0;
    const bool ok = tabrix::parse_float_ascii(text.data(), text.size(), &got);

    const std::string t = trimmed(text);
    if (ok) {
        // Single underscores between digits are Python's; strtod reads the same number
        // without them.
        std::string plain;
        for (char c : t)
            if (c != '_') plain += c;
        double want = 0.0;
        if (!strtod_whole(plain, &want)) finding("accepted, but strtod rejects it", text, got, 0.0);
        if (std::isnan(want)) {
            const uint64_t sign = (t[0] == '-') ? 0x8000000000000000ull : 0;
            if (bits(got) != (0x7ff8000000000000ull | sign)) finding("NaN bits", text, got, want);
        } else if (bits(got) != bits(want)) {
            finding("value differs from strtod", text, got, want);
        }
    } else {
        double want = 0.0;
        if (t.find('_') == std::string::npos && !strtod_only_form(t) && strtod_whole(t, &want))
            finding("rejected, but strtod reads a number", text, 0.0, want);
    }

    // The UCS forms read the same code units as numbers the same way (ASCII input only:
    // bytes above 0x7f are other characters there).
    bool ascii = true;
    for (unsigned char c : text) ascii = ascii && c < 0x80;
    if (ascii) {
        std::vector<uint8_t> u1(text.begin(), text.end());
        std::vector<uint16_t> u2(text.begin(), text.end());
        std::vector<uint32_t> u4(text.begin(), text.end());
        double d1 = 0.0, d2 = 0.0, d4 = 0.0;
        const bool r1 = tabrix::parse_float_ucs1(u1.data(), u1.size(), &d1);
        const bool r2 = tabrix::parse_float_ucs2(u2.data(), u2.size(), &d2);
        const bool r4 = tabrix::parse_float_ucs4(u4.data(), u4.size(), &d4);
        if (r1 != ok || r2 != ok || r4 != ok)
            finding("UCS forms disagree on acceptance", text, d1, got);
        if (ok && (bits(d1) != bits(got) || bits(d2) != bits(got) || bits(d4) != bits(got)))
            finding("UCS forms disagree on the value", text, d4, got);
    }

    // The short cut answers only for what the general parser reads, with the same bits.
    if (size <= 16) {
        uint64_t w[2] = {0, 0};
        std::memcpy(w, data, size);
        double fast = 0.0;
        if (tabrix::parse_simple_decimal16(w[0], w[1], size, &fast)) {
            if (!ok) finding("short cut accepts what the parser rejects", text, fast, 0.0);
            if (bits(fast) != bits(got)) finding("short cut value", text, fast, got);
        }
    }
    return 0;
}
