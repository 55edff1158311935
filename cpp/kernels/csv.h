// CSV text read and written the way Python's csv module does with its default dialect (fields
// separated by commas, quoted with '"', a quote inside a quoted field written twice, strict
// parsing), over UTF-8 text opened with newline="" (a line ends at "\n", "\r\n" or a lone "\r").
//
// Reading works on a stream of bytes fed piece by piece, so that a file can be read a block at
// a time; records come out as their fields' bytes back to back. A reader can also start in the
// middle of a file, at the start of a line, so that a file can be cut into byte ranges read
// apart: a line starts either between records or inside a quoted field that holds line breaks,
// and scanning a range from both starting points tells where its records begin.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

namespace tabrix {
namespace csv {

// Where the reader stands between two bytes: the states of Python's csv reader.
enum class State : uint8_t {
    kStartRecord,    // before a record
    kStartField,     // after a comma
    kInField,        // inside an unquoted field
    kInQuoted,       // inside a quoted field
    kQuoteInQuoted,  // after a quote inside a quoted field
    kEatCrnl,        // after the line break that ended a record, before the line's end
};

enum class Problem : uint8_t {
    kNone,
    kQuoteExpected,  // a quoted field's closing quote followed by something else than , or a line
                     // end
    kUnexpectedEnd,  // the data ends inside a quoted field
    kFieldTooLarge,  // a field longer than the limit, in characters
    kNotUtf8,        // bytes that are not UTF-8 text
    kFieldCount,     // a record with another number of fields than the header
};

// Python's csv.field_size_limit() by default.
constexpr size_t kDefaultFieldLimit = 131072;

// The csv module's text for a problem of syntax ("',' expected after '\"'", ...); for the others
// a short description.
std::string describe(Problem problem, size_t field_limit);

struct Failure {
    Problem problem = Problem::kNone;
    int64_t line = 0;   // physical line, from 1, where it was found
    size_t fields = 0;  // kFieldCount: how many fields the record had
};

// Records read: the bytes of their fields back to back (quotes removed, doubled quotes made
// single), with where each field and record ends.
struct Records {
    std::string text;
    std::vector<size_t> field_end;     // end of each field in text
    std::vector<uint8_t> field_ascii;  // 1 when the field's bytes are all below 0x80
    std::vector<size_t> record_end;    // end of each record in field_end

    size_t size() const { return record_end.size(); }
    size_t fields_before(size_t record) const { return record ? record_end[record - 1] : 0; }
    size_t field_start(size_t field) const { return field ? field_end[field - 1] : 0; }
    void clear();
};

struct Options {
    size_t width = 0;  // fields every record must have; 0: any number
    size_t field_limit = kDefaultFieldLimit;
    // kStartRecord, or kInQuoted for a start inside a record that began earlier: that record's
    // rest is skipped (not returned, not checked) and reading resumes at the next record.
    State start = State::kStartRecord;
    int64_t first_line = 1;      // line number of the first byte
    uint64_t stop = UINT64_MAX;  // stream offset at which no further record may begin
};

// Reads records out of a stream of bytes. Blank lines are skipped, as the command-line tool
// skips the empty records of Python's reader.
class Parser {
public:
    explicit Parser(const Options& options);

    // Reads from the next n bytes of the stream and returns how many it consumed. Records are
    // appended to `out`, or only counted when `out` is null. It stops early after `max_records`
    // records, when a record would begin at or after the stop offset, or at a failure; bytes not
    // consumed must be fed again.
    size_t feed(const char* data, size_t n, Records* out, size_t max_records = SIZE_MAX);
    // The stream has ended: completes its last line and record.
    void finish(Records* out);

    bool failed() const { return failure_.problem != Problem::kNone; }
    const Failure& failure() const { return failure_; }
    // Reached the stop offset between records (nothing more to read).
    bool stopped() const { return stopped_; }
    State state() const { return state_; }
    // The line being read (from 1); after finish(), one past the last line.
    int64_t line() const { return line_; }
    // Stream offset of the next byte to feed.
    uint64_t offset() const { return offset_; }
    // Records completed so far (stored or counted), skipped ones aside.
    uint64_t records() const { return records_; }
    // Inside a record that began after the start (not the one skipped at a start in kInQuoted).
    bool in_own_record() const { return state_ != State::kStartRecord && !skipping_; }
    void set_width(size_t width) { width_ = width; }

private:
    template <bool kStore>
    size_t run(const unsigned char* data, size_t n, Records* out, size_t max_records);
    // Adds a run of bytes of one field; `more` when the run reaches the end of the feed, so that
    // the field may go on in the next one.
    template <bool kStore>
    void append(const unsigned char* s, size_t n, unsigned char high, Records* out,
                bool more = false);
    template <bool kStore>
    void save_field(Records* out);
    template <bool kStore>
    bool end_of_line(Records* out);  // true when a record was completed
    void fail(Problem problem, size_t fields = 0);

    size_t width_;
    size_t field_limit_;
    uint64_t stop_;
    State state_;
    bool skipping_;            // in the record begun before the start
    bool pending_cr_ = false;  // the last byte was '\r': the line ends unless '\n' follows
    bool line_open_ = false;   // bytes of the current line were read
    bool stopped_ = false;
    int64_t line_;
    uint64_t offset_ = 0;
    uint64_t records_ = 0;
    size_t record_fields_ = 0;  // fields of the current record so far
    size_t field_chars_ = 0;
    unsigned char field_high_ = 0;
    unsigned char carry_[4] = {};  // the first bytes of a character the last feed cut short
    uint8_t carry_n_ = 0;
    Failure failure_;
};

// True when s[0..n) is UTF-8 as Python's strict decoder takes it (no overlong forms, no
// surrogates, nothing beyond U+10FFFF).
bool utf8_valid(const unsigned char* s, size_t n) noexcept;

// Appends a field as Python's csv writer writes it: quoted when it holds a comma, a quote or a
// line break, with quotes doubled.
void append_field(std::string& out, const char* s, size_t n);

}  // namespace csv
}  // namespace tabrix
