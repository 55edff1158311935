#include "kernels/text_clean.h"

#include <cstring>

#include "kernels/unicode_tables.h"

namespace tabrix {

namespace {

// ASCII: 0 = drop, otherwise the byte to keep (upper-case letters folded to lower case).
struct AsciiTable {
    unsigned char map[128];
    constexpr AsciiTable() : map() {
        for (int c = 0; c < 128; ++c) {
            if (c >= '0' && c <= '9')
                map[c] = static_cast<unsigned char>(c);
            else if (c >= 'a' && c <= 'z')
                map[c] = static_cast<unsigned char>(c);
            else if (c >= 'A' && c <= 'Z')
                map[c] = static_cast<unsigned char>(c + 32);
            else
                map[c] = 0;
        }
    }
};
constexpr AsciiTable kAscii;

inline size_t clean_one(uint32_t cp, uint32_t* out) noexcept {
    if (cp < 128) {
        unsigned char m = kAscii.map[cp];
        if (!m) return 0;
        out[0] = m;
        return 1;
    }
    if (cp >= 0x110000) return 0;
    uint16_t v = unicode::clean_value(cp);
    if (v == 0) return 0;
    if (v == 1) {
        out[0] = cp;
        return 1;
    }
    const uint32_t* seq = unicode::clean_sequences + 4 * static_cast<size_t>(v - 2);
    size_t len = seq[0];
    for (size_t i = 0; i < len; ++i) out[i] = seq[1 + i];
    return len;
}

template <class T>
size_t clean_ucs(const T* s, size_t n, uint32_t* out) noexcept {
    size_t k = 0;
    for (size_t i = 0; i < n; ++i) k += clean_one(static_cast<uint32_t>(s[i]), out + k);
    return k;
}

inline bool space_cp(uint32_t cp) noexcept {
    if (cp < 128) return (cp >= 9 && cp <= 13) || (cp >= 0x1c && cp <= 0x20);
    return cp < 0x110000 && unicode::numeric_value(cp) == 0x20;
}

template <class T>
int bool_word(const T* s, size_t n) noexcept {
    if (n < 4) return -1;
    size_t b = 0, e = n;
    while (b < e && space_cp(static_cast<uint32_t>(s[b]))) ++b;
    while (e > b && space_cp(static_cast<uint32_t>(s[e - 1]))) --e;
    static const char kTrue[] = "true";
    static const char kFalse[] = "false";
    const char* word;
    if (e - b == 4)
        word = kTrue;
    else if (e - b == 5)
        word = kFalse;
    else
        return -1;
    for (size_t i = b; i < e; ++i) {
        uint32_t c = static_cast<uint32_t>(s[i]);
        if (c >= 'A' && c <= 'Z') c += 32;
        if (c != static_cast<unsigned char>(word[i - b])) return -1;
    }
    return word == kTrue ? 1 : 0;
}

}  // namespace

size_t clean_ascii(const char* s, size_t n, char* out) noexcept {
    size_t k = 0;
    for (size_t i = 0; i < n; ++i) {
        unsigned char m = kAscii.map[static_cast<unsigned char>(s[i]) & 0x7f];
        out[k] = static_cast<char>(m);
        k += m != 0;
    }
    return k;
}

bool ascii_is_clean(const char* s, size_t n) noexcept {
    for (size_t i = 0; i < n; ++i) {
        unsigned char c = static_cast<unsigned char>(s[i]);
        if (c >= 128 || c == 0 || kAscii.map[c] != c) return false;
    }
    return true;
}

size_t clean_codepoint(uint32_t cp, uint32_t* out) noexcept { return clean_one(cp, out); }

size_t clean_ucs1(const uint8_t* s, size_t n, uint32_t* out) noexcept {
    return clean_ucs(s, n, out);
}
size_t clean_ucs2(const uint16_t* s, size_t n, uint32_t* out) noexcept {
    return clean_ucs(s, n, out);
}
size_t clean_ucs4(const uint32_t* s, size_t n, uint32_t* out) noexcept {
    return clean_ucs(s, n, out);
}

size_t utf8_encode(const uint32_t* cps, size_t n, char* out) noexcept {
    size_t k = 0;
    for (size_t i = 0; i < n; ++i) {
        uint32_t c = cps[i];
        if (c < 0x80) {
            out[k++] = static_cast<char>(c);
        } else if (c < 0x800) {
            out[k++] = static_cast<char>(0xC0 | (c >> 6));
            out[k++] = static_cast<char>(0x80 | (c & 0x3F));
        } else if (c < 0x10000) {
            out[k++] = static_cast<char>(0xE0 | (c >> 12));
            out[k++] = static_cast<char>(0x80 | ((c >> 6) & 0x3F));
            out[k++] = static_cast<char>(0x80 | (c & 0x3F));
        } else {
            out[k++] = static_cast<char>(0xF0 | (c >> 18));
            out[k++] = static_cast<char>(0x80 | ((c >> 12) & 0x3F));
            out[k++] = static_cast<char>(0x80 | ((c >> 6) & 0x3F));
            out[k++] = static_cast<char>(0x80 | (c & 0x3F));
        }
    }
    return k;
}

bool is_space(uint32_t cp) noexcept { return space_cp(cp); }

int parse_bool_word_ucs1(const uint8_t* s, size_t n) noexcept {
    // The bare words, compared four letters at a time with ASCII case folded by | 0x20.
    if (n == 4 || n == 5) {
        uint32_t w;
        std::memcpy(&w, s, 4);
        w |= 0x20202020u;
        uint32_t t, f;
        std::memcpy(&t, "true", 4);
        std::memcpy(&f, "fals", 4);
        if (n == 4 && w == t) return 1;
        if (n == 5 && w == f && (s[4] | 0x20) == 'e') return 0;
    }
    return bool_word(s, n);
}
int parse_bool_word_ucs2(const uint16_t* s, size_t n) noexcept { return bool_word(s, n); }
int parse_bool_word_ucs4(const uint32_t* s, size_t n) noexcept { return bool_word(s, n); }

const char* unicode_version() noexcept { return unicode::kUnicodeVersion; }

}  // namespace tabrix
