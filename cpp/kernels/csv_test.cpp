#include "kernels/csv.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <iterator>
#include <random>
#include <string>
#include <vector>

namespace tabrix {
namespace csv {
namespace {

using namespace std::string_literals;
using Rows = std::vector<std::vector<std::string>>;

struct Result {
    Rows rows;
    Problem problem = Problem::kNone;
    int64_t line = 0;
    size_t fields = 0;
    uint64_t offset = 0;  // where reading stopped (no result after a failure)
};

std::string text(const Result& r) {
    std::string s = "problem " + std::to_string(int(r.problem)) + " line " +
                    std::to_string(r.line) + " fields " + std::to_string(r.fields);
    if (r.problem == Problem::kNone) s += " offset " + std::to_string(r.offset);
    for (const auto& row : r.rows) {
        s += "\n";
        for (const auto& f : row) s += "<" + f + ">";
    }
    return s;
}

// Reads `data` fed at the given cut offsets, feeding again what a call did not consume, as the
// readers of files do; records stored into `out`, or only counted when it is null.
Parser feed_cut(const std::string& data, const Options& o, const std::vector<size_t>& cuts,
                Records* out) {
    Parser p(o);
    size_t pos = 0;
    for (size_t k = 0; k <= cuts.size(); ++k) {
        const size_t to =
            k < cuts.size() ? std::min(std::max(cuts[k], pos), data.size()) : data.size();
        while (pos < to && !p.failed() && !p.stopped())
            pos += p.feed(data.data() + pos, to - pos, out);
    }
    p.finish(out);
    return p;
}

Result read_cut(const std::string& data, const Options& o, const std::vector<size_t>& cuts) {
    Records rec;
    const Parser p = feed_cut(data, o, cuts, &rec);
    Result r{{}, p.failure().problem, p.failure().line, p.failure().fields, p.offset()};
    for (size_t i = 0; i < rec.size(); ++i) {
        r.rows.emplace_back();
        for (size_t f = rec.fields_before(i); f < rec.record_end[i]; ++f)
            r.rows.back().push_back(
                rec.text.substr(rec.field_start(f), rec.field_end[f] - rec.field_start(f)));
    }
    // Counting without storing finds the same records and failure.
    const Parser counter = feed_cut(data, o, cuts, nullptr);
    EXPECT_EQ(counter.records(), r.rows.size());
    EXPECT_EQ(counter.failure().problem, r.problem);
    EXPECT_EQ(counter.failure().line, r.line);
    return r;
}

// Reads whole, then checks that every cut in two, three, and a byte at a time reads the same.
Result read(const std::string& data, const Options& o = Options()) {
    const Result whole = read_cut(data, o, {});
    for (size_t i = 0; i <= data.size(); ++i) {
        EXPECT_EQ(text(read_cut(data, o, {i})), text(whole)) << "cut at " << i;
        EXPECT_EQ(text(read_cut(data, o, {i, i + 1})), text(whole)) << "cut at " << i << "+1";
    }
    std::vector<size_t> every(data.size());
    for (size_t i = 0; i < every.size(); ++i) every[i] = i;
    EXPECT_EQ(text(read_cut(data, o, every)), text(whole)) << "a byte at a time";
    return whole;
}

Options limit(size_t field_limit, size_t width = 0) {
    Options o;
    o.field_limit = field_limit;
    o.width = width;
    return o;
}

TEST(CsvParser, ReadsTheSameHoweverTheBytesAreFed) {
    const std::string euro = "\xe2\x82\xac", clef = "\xf0\x9d\x84\x9e", e = "\xc3\xa9";
    EXPECT_EQ(read("a,b\r\n\"x,\"\"y\"\"\r\nz\"," + e + "\r\n\r\n1," + clef + "\n").rows,
              (Rows{{"a", "b"}, {"x,\"y\"\r\nz", e}, {"1", clef}}));
    EXPECT_EQ(read(euro + "\r\"\r\",5\"3\r\r\"\"\r\n\0,"s).rows,
              (Rows{{euro}, {"\r", "5\"3"}, {""}, {"\0"s, ""}}));
    EXPECT_EQ(read("\"a\"\"\"\n\"\",\"\"\"\"").rows, (Rows{{"a\""}, {"", "\""}}));
    for (const std::string& bad :
         {"x\xe2\x82\n"s, "\"\xf0\x9d\x84\""s, "\xe2\x82"s, "\"\xed\xa0\x80\""s})
        EXPECT_EQ(read(bad).problem, Problem::kNotUtf8) << bad;
    // Within one field the first problem in the text is the one reported: the field limit or
    // the bad byte, however the field is fed.
    EXPECT_EQ(read("abcd\xff", limit(3)).problem, Problem::kFieldTooLarge);
    EXPECT_EQ(read("ab\xff"s + "cd", limit(3)).problem, Problem::kNotUtf8);
    EXPECT_EQ(read("\"" + e + e + e + e + "\"", limit(3)).problem, Problem::kFieldTooLarge);
    EXPECT_EQ(read("\"" + e + e + e + "\"", limit(3)).rows, (Rows{{e + e + e}}));
}

// Texts drawn from pieces that matter, read with options drawn too (a fixed seed, and the
// generator's raw output: the same texts everywhere).
TEST(CsvParser, DrawnTextsReadTheSameHoweverFed) {
    const std::string pieces[] = {",",    "\"",       "\r",           "\n",
                                  "a",    "\xc3\xa9", "\xe2\x82\xac", "\xf0\x9d\x84\x9e",
                                  "\xff", "\xe2\x82", "\"\"",         "\r\n"};
    std::mt19937 rng(20261209);
    for (int k = 0; k < 3000; ++k) {
        std::string data;
        for (size_t n = rng() % 16; n > 0; --n) data += pieces[rng() % std::size(pieces)];
        Options o = limit(rng() % 2 ? 3 : kDefaultFieldLimit, rng() % 3);
        if (rng() % 3 == 0) o.start = State::kInQuoted;
        if (rng() % 3 == 0) o.stop = rng() % (data.size() + 1);
        read(data, o);
    }
}

// Lines as Python's reader.line_num counts them when it raises.
TEST(CsvParser, FailuresAreReportedAtPythonsLine) {
    struct Case {
        std::string data;
        Options options;
        Problem problem;
        int64_t line;
        size_t fields = 0;
    } cases[] = {
        {"a,b\n\"x\ny\"\n", limit(kDefaultFieldLimit, 2), Problem::kFieldCount, 3, 1},
        {"a\n\"x\n\n", Options(), Problem::kUnexpectedEnd, 3},
        {"a\r\r\n\"b\"\r\"", Options(), Problem::kUnexpectedEnd, 4},
        {"a\n\"x\r\ny\"z\n", Options(), Problem::kQuoteExpected, 3},
        {"\"a\rb\"x", Options(), Problem::kQuoteExpected, 2},
        {"\"a\"\0"s, Options(), Problem::kQuoteExpected, 1},
        {"\"ab\r\nc\"", limit(3), Problem::kFieldTooLarge, 1},
        {"\xc3\xa9\xc3\xa9\n\"\xe2\x82\xac\xe2\x82\xac\r\n", limit(3), Problem::kFieldTooLarge, 2},
        {"a\n\n\"\xc3\x28\"", Options(), Problem::kNotUtf8, 3},
    };
    for (const Case& c : cases) {
        const Result r = read(c.data, c.options);
        EXPECT_EQ(r.problem, c.problem) << c.data;
        EXPECT_EQ(r.line, c.line) << c.data;
        EXPECT_EQ(r.fields, c.fields) << c.data;
        Options later = c.options;
        later.first_line = 10;
        EXPECT_EQ(read_cut(c.data, later, {}).line, c.line + 9) << c.data;
    }
}

TEST(CsvParser, StartInsideQuotesSkipsTheRestOfThatRecordUnchecked) {
    Options o = limit(1, 2);
    o.start = State::kInQuoted;
    o.first_line = 5;
    // The skipped rest holds bad UTF-8, a field beyond the limit and too many fields.
    const Result r = read("\xff\"\",x\nlong\",yy,z\nn,m\n\"q\",\"\"\n", o);
    EXPECT_EQ(r.problem, Problem::kNone);
    EXPECT_EQ(r.rows, (Rows{{"n", "m"}, {"q", ""}}));
    // Its syntax is checked: the same bytes read from a start between records are a record.
    EXPECT_EQ(read("\"x\n\"\n", limit(2, 1)).rows, (Rows{{"x\n"}}));
    EXPECT_EQ(read("\"x\n\"\n", o).line, 5);
}

TEST(CsvParser, StopsBeforeTheFirstRecordBeginningAtOrAfterStop) {
    // Records begin at offsets 0, 2 (it ends at 8), 9 and 11; a blank line at 8.
    const std::string data = "h\n\"a\nb\"\n\nc\nd\n";
    const struct {
        uint64_t stop;
        size_t rows;
        uint64_t offset;
    } cases[] = {{0, 0, 0}, {1, 1, 2}, {3, 2, 8}, {9, 2, 9}, {10, 3, 11}, {13, 4, 13}};
    const Rows all = {{"h"}, {"a\nb"}, {"c"}, {"d"}};
    for (const auto& c : cases) {
        Options o;
        o.stop = c.stop;
        const Result r = read(data, o);
        EXPECT_EQ(r.rows, Rows(all.begin(), all.begin() + c.rows)) << c.stop;
        EXPECT_EQ(r.offset, c.offset) << c.stop;
    }
}

TEST(Utf8Valid, TakesWhatPythonsStrictDecoderTakes) {
    const std::string ascii = "0123456789abcdef";  // beyond the eight-byte steps
    for (const std::string& s :
         {""s, "a\0"s, "\xc2\x80"s, "\xdf\xbf"s, "\xe0\xa0\x80"s, "\xed\x9f\xbf"s, "\xee\x80\x80"s,
          "\xef\xbf\xbf"s, "\xf0\x90\x80\x80"s, "\xf4\x8f\xbf\xbf"s, ascii + "\xc3\xa9" + ascii})
        EXPECT_TRUE(utf8_valid(reinterpret_cast<const unsigned char*>(s.data()), s.size())) << s;
    for (const std::string& s :
         {"\xc0\x80"s, "\xc1\xbf"s, "\xe0\x9f\xbf"s, "\xf0\x8f\xbf\xbf"s,  // overlong
          "\xed\xa0\x80"s, "\xed\xbf\xbf"s,                                // surrogates
          "\xf4\x90\x80\x80"s, "\xf5\x80\x80\x80"s, "\xff"s,               // beyond U+10FFFF
          "\xc3"s, "\xe2\x82"s, "\xf0\x9d\x84"s,                           // truncated
          "\x80"s, "\xe2\x28\xa1"s, "\xe2\x82\x28"s, "\xf0\x9d\x84\x28"s,  // bad continuation
          ascii + "\xff", ascii + "\xe2\x82"}) {
        EXPECT_FALSE(utf8_valid(reinterpret_cast<const unsigned char*>(s.data()), s.size())) << s;
    }
}

TEST(AppendField, QuotesAsPython313sWriter) {
    const std::pair<std::string, std::string> cases[] = {
        {"", ""},           {"a b", "a b"},           {" a", " a"},     {"\0"s, "\0"s},
        {"a,b", "\"a,b\""}, {"5\"3", "\"5\"\"3\""},   {"\r", "\"\r\""}, {"a\nb", "\"a\nb\""},
        {"\"", "\"\"\"\""}, {"\xc3\xa9", "\xc3\xa9"},
    };
    for (const auto& c : cases) {
        std::string out = "x,";
        append_field(out, c.first.data(), c.first.size());
        EXPECT_EQ(out, "x," + c.second) << c.first;
    }
}

}  // namespace
}  // namespace csv
}  // namespace tabrix
