#include "kernels/csv.h"

#include <algorithm>
#include <cstring>

namespace tabrix {
namespace csv {

namespace {

// Bytes that end a run of plain bytes: in an unquoted field, and in a quoted one.
struct StopTable {
    bool field[256] = {};
    bool quoted[256] = {};
    StopTable() {
        field[static_cast<unsigned char>(',')] = field['\n'] = field['\r'] = true;
        quoted[static_cast<unsigned char>('"')] = quoted['\n'] = quoted['\r'] = true;
    }
};
const StopTable kStops;

inline bool is_break(unsigned char c) { return c == '\n' || c == '\r'; }

// Code points among n valid UTF-8 bytes: the bytes that do not continue a sequence.
size_t count_chars(const unsigned char* s, size_t n) {
    size_t continuing = 0;
    for (size_t i = 0; i < n; ++i) continuing += (s[i] & 0xC0) == 0x80;
    return n - continuing;
}

}  // namespace

std::string describe(Problem problem, size_t field_limit) {
    switch (problem) {
        case Problem::kNone: return "no problem";
        case Problem::kQuoteExpected: return "',' expected after '\"'";
        case Problem::kUnexpectedEnd: return "unexpected end of data";
        case Problem::kFieldTooLarge:
            return "field larger than field limit (" + std::to_string(field_limit) + ")";
        case Problem::kNotUtf8: return "not UTF-8 text";
        case Problem::kFieldCount: return "wrong number of fields";
    }
    return "unknown problem";
}

void Records::clear() {
    text.clear();
    field_end.clear();
    field_ascii.clear();
    record_end.clear();
}

namespace {

// The length of the longest prefix of s[0..n) made of whole valid sequences. `cut` tells
// whether the rest is only the start of a valid sequence that the end cuts short.
size_t utf8_prefix(const unsigned char* s, size_t n, bool* cut) noexcept {
    *cut = false;
    size_t i = 0;
    while (i < n) {
        // Eight ASCII bytes at a time.
        while (i + 8 <= n) {
            uint64_t word;
            std::memcpy(&word, s + i, 8);
            if (word & 0x8080808080808080ULL) break;
            i += 8;
        }
        if (i >= n) break;
        const unsigned char c = s[i];
        if (c < 0x80) {
            ++i;
            continue;
        }
        size_t len;
        unsigned char lo = 0x80, hi = 0xBF;  // range of the second byte
        if (c >= 0xC2 && c <= 0xDF) {
            len = 2;
        } else if (c >= 0xE0 && c <= 0xEF) {
            len = 3;
            if (c == 0xE0)
                lo = 0xA0;  // no overlong forms
            else if (c == 0xED)
                hi = 0x9F;  // no surrogates
        } else if (c >= 0xF0 && c <= 0xF4) {
            len = 4;
            if (c == 0xF0)
                lo = 0x90;  // no overlong forms
            else if (c == 0xF4)
                hi = 0x8F;  // nothing beyond U+10FFFF
        } else {
            return i;
        }
        const size_t have = std::min(len, n - i);
        if (have > 1 && (s[i + 1] < lo || s[i + 1] > hi)) return i;
        for (size_t k = 2; k < have; ++k)
            if ((s[i + k] & 0xC0) != 0x80) return i;
        if (have < len) {
            *cut = true;
            return i;
        }
        i += len;
    }
    return n;
}

}  // namespace

bool utf8_valid(const unsigned char* s, size_t n) noexcept {
    bool cut;
    return utf8_prefix(s, n, &cut) == n;
}

void append_field(std::string& out, const char* s, size_t n) {
    bool quote = false;
    size_t quotes = 0;
    for (size_t i = 0; i < n; ++i) {
        const char c = s[i];
        if (c == ',' || c == '\n' || c == '\r')
            quote = true;
        else if (c == '"')
            ++quotes;
    }
    if (!quote && !quotes) {
        out.append(s, n);
        return;
    }
    out.reserve(out.size() + n + quotes + 2);
    out.push_back('"');
    if (!quotes) {
        out.append(s, n);
    } else {
        for (size_t i = 0; i < n; ++i) {
            if (s[i] == '"') out.push_back('"');
            out.push_back(s[i]);
        }
    }
    out.push_back('"');
}

Parser::Parser(const Options& options)
    : width_(options.width),
      field_limit_(options.field_limit),
      stop_(options.stop),
      state_(options.start),
      skipping_(options.start != State::kStartRecord),
      line_(options.first_line) {}

void Parser::fail(Problem problem, size_t fields) {
    if (failed()) return;
    failure_.problem = problem;
    failure_.line = line_;
    failure_.fields = fields;
}

template <bool kStore>
void Parser::append(const unsigned char* s, size_t n, unsigned char high, Records* out, bool more) {
    if (skipping_) return;
    if (carry_n_) {
        // A character begun at the end of the previous feed: its other bytes come first.
        const size_t len = carry_[0] >= 0xF0 ? 4 : carry_[0] >= 0xE0 ? 3 : 2;
        const size_t take = std::min(len - carry_n_, n);
        std::memcpy(carry_ + carry_n_, s, take);
        carry_n_ += take;
        s += take;
        n -= take;
        if (carry_n_ < len && more) return;  // still cut short
        const size_t whole = carry_n_;
        carry_n_ = 0;
        if (whole < len || !utf8_valid(carry_, whole)) {
            fail(Problem::kNotUtf8);
            return;
        }
        if (++field_chars_ > field_limit_) {
            fail(Problem::kFieldTooLarge);
            return;
        }
        field_high_ |= 0x80;
        if (kStore) out->text.append(reinterpret_cast<const char*>(carry_), whole);
    }
    if (n == 0) return;
    size_t valid = n, chars = n;
    if (high & 0x80) {
        // Every non-ASCII byte lies in some field, and runs end only at ASCII bytes or at the end
        // of a feed, so checking runs checks the whole text. The first problem in the text is
        // the one reported, the field limit or the bad byte, however the bytes are fed.
        bool cut;
        valid = utf8_prefix(s, n, &cut);
        chars = count_chars(s, valid);
        if (valid < n && cut && more) {
            carry_n_ = static_cast<uint8_t>(n - valid);  // the field goes on in the next feed
            std::memcpy(carry_, s + valid, carry_n_);
            n = valid;
        }
    }
    field_chars_ += chars;
    if (field_chars_ > field_limit_) {
        fail(Problem::kFieldTooLarge);
        return;
    }
    if (valid < n) {
        fail(Problem::kNotUtf8);
        return;
    }
    field_high_ |= high;
    if (kStore) out->text.append(reinterpret_cast<const char*>(s), valid);
}

template <bool kStore>
void Parser::save_field(Records* out) {
    if (!skipping_) {
        if (kStore) {
            out->field_end.push_back(out->text.size());
            out->field_ascii.push_back(!(field_high_ & 0x80));
        }
        ++record_fields_;
    }
    field_chars_ = 0;
    field_high_ = 0;
}

template <bool kStore>
bool Parser::end_of_line(Records* out) {
    line_open_ = false;
    bool completed = false;
    switch (state_) {
        case State::kStartRecord:
        case State::kInQuoted: break;
        case State::kStartField:
        case State::kInField:
        case State::kQuoteInQuoted:
            save_field<kStore>(out);
            state_ = State::kEatCrnl;
            // fall through
        case State::kEatCrnl:
            state_ = State::kStartRecord;
            if (skipping_) {
                skipping_ = false;
            } else if (record_fields_ > 0) {  // a blank line is no record
                if (width_ && record_fields_ != width_) {
                    fail(Problem::kFieldCount, record_fields_);
                } else {
                    if (kStore) out->record_end.push_back(out->field_end.size());
                    ++records_;
                    completed = true;
                }
            }
            record_fields_ = 0;
            break;
    }
    ++line_;
    return completed;
}

template <bool kStore>
size_t Parser::run(const unsigned char* data, size_t n, Records* out, size_t max_records) {
    const unsigned char* p = data;
    const unsigned char* const end = data + n;
    size_t stored = 0;
    // After each line: whether to stop here (a failure, enough records, or the stop offset
    // reached between records).
    auto line_done = [&](bool completed) {
        if (completed) ++stored;
        if (failed() || stored >= max_records) return true;
        if (state_ == State::kStartRecord && offset_ + (p - data) >= stop_) stopped_ = true;
        return stopped_;
    };
    if (stopped_ || failed()) return 0;
    if (state_ == State::kStartRecord && !line_open_ && offset_ >= stop_) {
        stopped_ = true;
        return 0;
    }
    if (pending_cr_ && p < end) {
        pending_cr_ = false;
        if (*p == '\n') {
            // "\r\n" split between two feeds: the '\n' is part of a quoted field, or changes
            // nothing after the '\r' that ended a record.
            if (state_ == State::kInQuoted) append<kStore>(p, 1, 0, out);
            ++p;
        }
        if (line_done(end_of_line<kStore>(out))) {
            offset_ += p - data;
            return p - data;
        }
    }
    while (p < end && !failed()) {
        const unsigned char c = *p;
        line_open_ = true;
        switch (state_) {
            case State::kStartRecord:
                if (is_break(c)) {
                    state_ = State::kEatCrnl;
                    break;
                }
                state_ = State::kStartField;
                // fall through
            case State::kStartField:
                if (is_break(c)) {
                    save_field<kStore>(out);
                    state_ = State::kEatCrnl;
                } else if (c == '"') {
                    state_ = State::kInQuoted;
                    ++p;
                    continue;
                } else if (c == ',') {
                    save_field<kStore>(out);
                    ++p;
                    continue;
                } else {
                    state_ = State::kInField;
                    continue;  // the run below takes c
                }
                break;
            case State::kInField: {
                const unsigned char* s = p;
                unsigned char high = 0;
                while (p < end && !kStops.field[*p]) high |= *p++;
                append<kStore>(s, p - s, high, out, p == end);
                if (p == end || failed()) continue;
                save_field<kStore>(out);
                if (*p == ',') {
                    state_ = State::kStartField;
                    ++p;
                    continue;
                }
                state_ = State::kEatCrnl;
                break;  // the line break, below
            }
            case State::kInQuoted: {
                const unsigned char* s = p;
                unsigned char high = 0;
                while (p < end && !kStops.quoted[*p]) high |= *p++;
                append<kStore>(s, p - s, high, out, p == end);
                if (p == end || failed()) continue;
                if (*p == '"') {
                    state_ = State::kQuoteInQuoted;
                    ++p;
                    continue;
                }
                append<kStore>(p, 1, 0, out);  // a line break inside the field is part of it
                break;
            }
            case State::kQuoteInQuoted:
                if (c == '"') {
                    append<kStore>(p, 1, 0, out);
                    state_ = State::kInQuoted;
                    ++p;
                    continue;
                }
                if (c == ',') {
                    save_field<kStore>(out);
                    state_ = State::kStartField;
                    ++p;
                    continue;
                }
                if (is_break(c)) {
                    save_field<kStore>(out);
                    state_ = State::kEatCrnl;
                    break;
                }
                fail(Problem::kQuoteExpected);
                continue;
            case State::kEatCrnl:
                // Unreachable: a line ends right after the line break that ended a record.
                break;
        }
        if (failed()) break;
        // p is at a line break; the line ends after it, or after the '\n' of "\r\n".
        if (*p == '\r') {
            ++p;
            if (p == end) {
                pending_cr_ = true;
                break;
            }
            if (*p == '\n') {
                if (state_ == State::kInQuoted) append<kStore>(p, 1, 0, out);
                ++p;
            }
        } else {
            ++p;
        }
        if (line_done(end_of_line<kStore>(out))) break;
    }
    offset_ += p - data;
    return p - data;
}

size_t Parser::feed(const char* data, size_t n, Records* out, size_t max_records) {
    const auto* bytes = reinterpret_cast<const unsigned char*>(data);
    return out ? run<true>(bytes, n, out, max_records) : run<false>(bytes, n, out, max_records);
}

void Parser::finish(Records* out) {
    if (failed() || stopped_) return;
    if (carry_n_) {  // the text ends inside a character
        fail(Problem::kNotUtf8);
        return;
    }
    if (pending_cr_ || line_open_) {
        pending_cr_ = false;
        if (out)
            end_of_line<true>(out);
        else
            end_of_line<false>(out);
        if (failed()) return;
    }
    if (state_ == State::kInQuoted) {
        --line_;  // the last line read, as Python's reader counts
        fail(Problem::kUnexpectedEnd);
        ++line_;
    }
}

}  // namespace csv
}  // namespace tabrix
