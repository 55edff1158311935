// libFuzzer target for the CSV parser of cpp/kernels (csv.h). The first bytes of an input choose
// the options (a start inside quotes, a width, a small field limit, a stop) and a feed size; the
// rest is the text. Fed whole, in pieces of that size and a byte at a time, and counted without
// storing, it must read the same records, failure and line; records read without a failure hold
// UTF-8 fields of at most the limit's characters, as many as the width.
#include <algorithm>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <vector>

#include "kernels/csv.h"

namespace {

namespace csv = tabrix::csv;

struct Read {
    csv::Records records;
    csv::Failure failure;
    uint64_t count = 0, offset = 0;
};

Read read(const std::string& text, const csv::Options& o, size_t piece, bool store) {
    Read r;
    csv::Parser p(o);
    csv::Records* out = store ? &r.records : nullptr;
    size_t pos = 0;
    while (pos < text.size() && !p.failed() && !p.stopped()) {
        const size_t n = piece ? std::min(piece, text.size() - pos) : text.size() - pos;
        const size_t used = p.feed(text.data() + pos, n, out);
        if (used == 0 && !p.failed() && !p.stopped()) {
            std::fprintf(stderr, "FINDING: feed() consumed nothing\n");
            std::abort();
        }
        pos += used;
    }
    p.finish(out);
    r.failure = p.failure();
    r.count = p.records();
    r.offset = p.failed() ? 0 : p.offset();
    return r;
}

// The completed records (a failed one may have left some of its bytes behind).
std::vector<std::vector<std::string>> rows_of(const csv::Records& r) {
    std::vector<std::vector<std::string>> rows(r.size());
    for (size_t i = 0; i < r.size(); ++i)
        for (size_t f = r.fields_before(i); f < r.record_end[i]; ++f)
            rows[i].push_back(r.text.substr(r.field_start(f), r.field_end[f] - r.field_start(f)));
    return rows;
}

bool same(const Read& a, const Read& b, bool stored) {
    return a.failure.problem == b.failure.problem && a.failure.line == b.failure.line &&
           a.failure.fields == b.failure.fields && a.count == b.count && a.offset == b.offset &&
           (!stored || rows_of(a.records) == rows_of(b.records));
}

size_t chars(const std::string& s) {
    size_t n = 0;
    for (unsigned char c : s) n += (c & 0xC0) != 0x80;
    return n;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    if (size < 3) return 0;
    csv::Options o;
    o.start = data[0] & 1 ? csv::State::kInQuoted : csv::State::kStartRecord;
    o.width = (data[0] >> 1) & 3;
    if (data[0] & 8) o.field_limit = (data[0] >> 4) & 7;
    const std::string text(reinterpret_cast<const char*>(data) + 3, size - 3);
    if (data[1] & 1) o.stop = (data[1] >> 1) % (text.size() + 1);
    const size_t piece = data[2] % 9 + 1;

    const Read whole = read(text, o, 0, true);
    const Read tries[] = {read(text, o, piece, true), read(text, o, 1, true),
                          read(text, o, 0, false), read(text, o, piece, false)};
    for (size_t k = 0; k < 4; ++k) {
        if (!same(tries[k], whole, k < 2)) {
            std::fprintf(stderr, "FINDING: read %zu differs from the whole (problem %d / %d)\n", k,
                         int(tries[k].failure.problem), int(whole.failure.problem));
            std::abort();
        }
    }
    if (whole.failure.problem != csv::Problem::kNone) return 0;
    const csv::Records& r = whole.records;
    for (size_t i = 0; i < r.size(); ++i) {
        const size_t fields = r.record_end[i] - r.fields_before(i);
        if (o.width && fields != o.width) std::abort();
        for (size_t f = r.fields_before(i); f < r.record_end[i]; ++f) {
            const std::string s =
                r.text.substr(r.field_start(f), r.field_end[f] - r.field_start(f));
            if (!csv::utf8_valid(reinterpret_cast<const unsigned char*>(s.data()), s.size()) ||
                chars(s) > o.field_limit || r.field_ascii[f] != (chars(s) == s.size())) {
                std::fprintf(stderr, "FINDING: field %zu of record %zu\n", f, i);
                std::abort();
            }
        }
    }
    return 0;
}
