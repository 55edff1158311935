// tabrix_libs._tableio: CSV files read into object arrays of str and rows written back as CSV
// text, for the command-line tool (tabrix_libs.tableio wraps it). The rules are those of
// cpp/kernels/csv.h; this file holds only the files, the GIL and the Python objects.
#define TABRIX_NUMPY_OWNER
#include "python/numpy_api.h"

#include <fcntl.h>
#include <nanobind/nanobind.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <memory>
#include <string>
#include <vector>

#include "kernels/csv.h"
#include "kernels/text_format.h"
#include "python/py_errors.h"
#include "tableio/str_cache.h"
#include "tableio/text_columns.h"

namespace nb = nanobind;
using tabrix::py::raise;
using tabrix::py::raise_current;
namespace csv = tabrix::csv;
using tabrix::tableio::StrCache;

namespace {

PyObject* csv_error_type = nullptr;

const char* problem_name(csv::Problem p) {
    switch (p) {
        case csv::Problem::kQuoteExpected:
        case csv::Problem::kUnexpectedEnd:
        case csv::Problem::kFieldTooLarge: return "syntax";
        case csv::Problem::kNotUtf8: return "encoding";
        case csv::Problem::kFieldCount: return "fields";
        case csv::Problem::kNone: break;
    }
    return "none";
}

// Raises CsvError(message) with the attributes problem ("syntax", "encoding" or "fields"), line
// and fields.
std::string failure_message(const csv::Failure& f, size_t width, size_t field_limit) {
    return f.problem == csv::Problem::kFieldCount
               ? std::to_string(f.fields) + " fields where the header has " + std::to_string(width)
               : csv::describe(f.problem, field_limit);
}

[[noreturn]] void raise_failure(const csv::Failure& f, size_t width, size_t field_limit) {
    const std::string message = failure_message(f, width, field_limit);
    nb::object error = nb::steal(PyObject_CallFunction(csv_error_type, "s", message.c_str()));
    if (!error) raise_current();
    nb::setattr(error, "problem", nb::str(problem_name(f.problem)));
    nb::setattr(error, "line", nb::int_(f.line));
    nb::setattr(error, "fields", nb::int_(f.fields));
    PyErr_SetObject(csv_error_type, error.ptr());
    throw nb::python_error();
}

// A file read through a descriptor opened from a str, bytes or os.PathLike path (OSError names
// the file), or through a Python binary file object with readinto() or read() and seek(), such
// as the files fsspec opens on object storage. Reads run with the GIL released; a file object's
// methods take it back for the call, and what they raise is raised by os_error().
class File {
public:
    explicit File(nb::handle source) {
        if (PyUnicode_Check(source.ptr()) || PyBytes_Check(source.ptr()) ||
            PyObject_HasAttrString(source.ptr(), "__fspath__")) {
            open_path(source);
        } else {
            open_object(source);
        }
    }
    ~File() { close(); }
    File(const File&) = delete;
    File& operator=(const File&) = delete;

    void close() {
        if (fd_ >= 0) ::close(fd_);
        fd_ = -1;
        // The caller opened the file object and closes it; this only lets it go.
        object_ = nb::object();
    }
    bool is_open() const { return fd_ >= 0 || object_.is_valid(); }
    int64_t size() const { return size_; }

    // Reads up to n bytes at the file position (or at `offset` when it is not negative), the
    // GIL released by the caller; -1 with errno set on failure.
    ssize_t read(char* out, size_t n, int64_t offset = -1) {
        if (fd_ < 0) return read_object(out, n, offset);
        for (;;) {
            ssize_t got =
                offset < 0 ? ::read(fd_, out, n) : ::pread(fd_, out, n, static_cast<off_t>(offset));
            if (got >= 0 || errno != EINTR) return got;
        }
    }
    // With the GIL held.
    bool seek(int64_t offset) {
        if (fd_ >= 0) return ::lseek(fd_, static_cast<off_t>(offset), SEEK_SET) >= 0;
        if (!object_.is_valid()) return false;
        nb::object r = nb::steal(
            PyObject_CallMethod(object_.ptr(), "seek", "L", static_cast<long long>(offset)));
        if (!r) raise_current();
        position_ = offset;
        return true;
    }

    // With the GIL held: the error of the failed read.
    [[noreturn]] void os_error() {
        if (pending_) {
            std::unique_ptr<nb::python_error> e = std::move(pending_);
            e->restore();
            throw nb::python_error();
        }
        PyErr_SetFromErrnoWithFilenameObject(PyExc_OSError,
                                             path_.is_valid() ? path_.ptr() : nullptr);
        throw nb::python_error();
    }

private:
    void open_path(nb::handle path) {
        path_ = nb::borrow(path);
        PyObject* encoded = nullptr;
        if (!PyUnicode_FSConverter(path.ptr(), &encoded)) raise_current();
        nb::object bytes = nb::steal(encoded);
        const char* name = PyBytes_AS_STRING(encoded);
        Py_BEGIN_ALLOW_THREADS;
        fd_ = ::open(name, O_RDONLY | O_CLOEXEC);
        Py_END_ALLOW_THREADS;
        if (fd_ < 0) os_error();
        struct stat st;
        if (::fstat(fd_, &st) == 0 && S_ISDIR(st.st_mode)) {
            close();
            errno = EISDIR;
            os_error();
        }
        size_ =
            (::fstat(fd_, &st) == 0 && S_ISREG(st.st_mode)) ? static_cast<int64_t>(st.st_size) : -1;
    }

    void open_object(nb::handle f) {
        const bool readinto = PyObject_HasAttrString(f.ptr(), "readinto");
        if (!(readinto || PyObject_HasAttrString(f.ptr(), "read")) ||
            !PyObject_HasAttrString(f.ptr(), "seek")) {
            raise(PyExc_TypeError,
                  "expected a path or a binary file object with read() and seek(), not %.200s",
                  Py_TYPE(f.ptr())->tp_name);
        }
        object_ = nb::borrow(f);
        use_readinto_ = readinto;
        // fsspec's files know their size; others are measured by seeking to their end.
        nb::object size = nb::steal(PyObject_GetAttrString(f.ptr(), "size"));
        if (size && PyLong_Check(size.ptr())) {
            size_ = PyLong_AsLongLong(size.ptr());
            if (size_ < 0 && PyErr_Occurred()) raise_current();
        } else {
            PyErr_Clear();
            nb::object end = nb::steal(PyObject_CallMethod(f.ptr(), "seek", "ii", 0, 2));
            if (!end) raise_current();
            size_ = PyLong_AsLongLong(end.ptr());
            if (size_ < 0 && PyErr_Occurred()) raise_current();
            seek(0);
        }
    }

    // n bytes through the object's readinto() or read() (fewer only at the end of the file:
    // a call may hand over less, as a regular file's read does not), with the GIL taken back.
    ssize_t read_object(char* out, size_t n, int64_t offset) {
        PyGILState_STATE gil = PyGILState_Ensure();
        ssize_t total = 0;
        // A strong reference for the calls: the object's methods may close the reader.
        nb::object f = object_;
        if (!f.is_valid()) {
            errno = EBADF;
            total = -1;
        }
        while (total >= 0 && static_cast<size_t>(total) < n) {
            const ssize_t got =
                read_object_with_gil(f, out + total, n - total, offset < 0 ? -1 : offset + total);
            if (got < 0) {
                pending_ = std::make_unique<nb::python_error>();
                errno = EIO;
                total = -1;
            } else if (got == 0) {
                break;
            } else {
                total += got;
            }
        }
        f = nb::object();
        PyGILState_Release(gil);
        return total;
    }

    ssize_t read_object_with_gil(nb::handle f, char* out, size_t n, int64_t offset) {
        if (offset >= 0 && offset != position_) {
            nb::object r = nb::steal(
                PyObject_CallMethod(f.ptr(), "seek", "L", static_cast<long long>(offset)));
            if (!r) return -1;
            position_ = offset;
        }
        Py_ssize_t got = 0;
        if (use_readinto_) {
            nb::object view =
                nb::steal(PyMemoryView_FromMemory(out, static_cast<Py_ssize_t>(n), PyBUF_WRITE));
            if (!view) return -1;
            nb::object r = nb::steal(PyObject_CallMethod(f.ptr(), "readinto", "O", view.ptr()));
            if (!r) return -1;
            got = r.is_none() ? 0 : PyLong_AsSsize_t(r.ptr());
            if (got == -1 && PyErr_Occurred()) return -1;
        } else {
            nb::object r =
                nb::steal(PyObject_CallMethod(f.ptr(), "read", "n", static_cast<Py_ssize_t>(n)));
            if (!r) return -1;
            if (!PyBytes_Check(r.ptr())) {
                PyErr_Format(PyExc_TypeError, "read() returned %.200s, not bytes",
                             Py_TYPE(r.ptr())->tp_name);
                return -1;
            }
            got = PyBytes_GET_SIZE(r.ptr());
            if (static_cast<size_t>(got) <= n) std::memcpy(out, PyBytes_AS_STRING(r.ptr()), got);
        }
        if (got < 0 || static_cast<size_t>(got) > n) {
            PyErr_Format(PyExc_ValueError, "the file object returned %zd bytes for %zu", got, n);
            return -1;
        }
        position_ = position_ < 0 ? -1 : position_ + got;
        return got;
    }

    nb::object path_;
    nb::object object_;
    bool use_readinto_ = false;
    int64_t position_ = 0;
    std::unique_ptr<nb::python_error> pending_;
    int fd_ = -1;
    int64_t size_ = -1;
};

nb::object make_str(const csv::Records& r, size_t field, StrCache* cache = nullptr) {
    const size_t start = r.field_start(field), n = r.field_end[field] - start;
    const char* s = r.text.data() + start;
    if (cache && r.field_ascii[field] && n <= 16) return tabrix::py::checked(cache->get(s, n));
    if (r.field_ascii[field]) {
        PyObject* o = PyUnicode_New(static_cast<Py_ssize_t>(n), 127);
        if (!o) raise_current();
        if (n) std::memcpy(PyUnicode_DATA(o), s, n);
        return nb::steal(o);
    }
    // Checked by the parser already; the decoder checks again.
    return tabrix::py::checked(PyUnicode_DecodeUTF8(s, static_cast<Py_ssize_t>(n), "strict"));
}

const char* const kReaderDoc = R"(Records of a CSV file, read as str.

Reader(path, start=0, stop=-1, inside_quotes=False, first_line=1, field_limit=131072)

`path` is a file's path or a binary file object with readinto() or read(), and seek() (the
caller closes it). Reads the file from byte `start` (a UTF-8 byte-order mark at byte 0 is skipped). With `stop`,
only the records that begin before that byte are read (the last one whole). With
inside_quotes=True, `start` lies inside a quoted field of a record begun earlier: that record's
rest is skipped. Lines are numbered from `first_line`. Problems raise CsvError (a ValueError)
whose attributes `problem` ("syntax", "encoding" or "fields"), `line` and `fields` say what and
where; a file that cannot be read raises OSError.
)";

class Reader {
public:
    Reader(nb::handle path, int64_t start, int64_t stop, bool inside_quotes, int64_t first_line,
           int64_t field_limit)
        : file_(path), buffer_(kBufferBytes) {
        if (start < 0) raise(PyExc_ValueError, "start must not be negative, got %lld", start);
        if (field_limit < 0) raise(PyExc_ValueError, "field_limit must not be negative");
        csv::Options& o = options_;
        o.field_limit = static_cast<size_t>(field_limit);
        o.start = inside_quotes ? csv::State::kInQuoted : csv::State::kStartRecord;
        o.first_line = first_line;
        if (stop >= 0) o.stop = stop < start ? 0 : static_cast<uint64_t>(stop - start);
        field_limit_ = o.field_limit;
        parser_ = csv::Parser(o);
        start_ = start;
        if (start > 0 && !file_.seek(start)) file_.os_error();
    }

    // The first record, as a list of str (None for a file without any), which fixes the number
    // of fields of the rest.
    nb::object read_header() {
        if (width_) raise(PyExc_ValueError, "the header was read already");
        fill(1);
        if (records_.size() == 0) return nb::none();
        width_ = records_.record_end[0];
        parser_.set_width(width_);
        nb::list names;
        for (size_t f = 0; f < width_; ++f) names.append(make_str(records_, f));
        records_.clear();
        return std::move(names);
    }

    // Up to max_rows records as a 2-D object array of str, fewer only at the end.
    nb::object read(int64_t max_rows) {
        if (!width_) raise(PyExc_ValueError, "read_header() or set_width() comes first");
        if (max_rows < 1) raise(PyExc_ValueError, "max_rows must be at least 1");
        fill(static_cast<size_t>(max_rows));
        const size_t rows = records_.size();
        npy_intp dims[2] = {static_cast<npy_intp>(rows), static_cast<npy_intp>(width_)};
        nb::object out =
            nb::steal(tabrix::py::checked(PyArray_SimpleNew(2, dims, NPY_OBJECT)).release());
        auto** cells =
            static_cast<PyObject**>(PyArray_DATA(reinterpret_cast<PyArrayObject*>(out.ptr())));
        const size_t n = rows * width_;
        for (size_t i = 0; i < n; ++i) cells[i] = nullptr;
        if (caches_.size() != width_) caches_ = std::vector<StrCache>(width_);
        for (size_t i = 0; i < n; ++i)
            cells[i] = make_str(records_, i, &caches_[i % width_]).release().ptr();
        records_.clear();
        rows_ += rows;
        return out;
    }

    void set_width(int64_t width) {
        if (width < 1) raise(PyExc_ValueError, "width must be at least 1");
        width_ = static_cast<size_t>(width);
        parser_.set_width(width_);
    }

    int64_t bytes_read() const { return start_ + static_cast<int64_t>(parser_.offset()); }
    int64_t line() const { return parser_.line(); }
    int64_t size() const { return file_.size(); }
    int64_t rows() const { return static_cast<int64_t>(rows_); }
    void close() { file_.close(); }

private:
    static constexpr size_t kBufferBytes = size_t(1) << 20;

    // Parses until `want` records are held, the records end, or a problem; the GIL released.
    void fill(size_t want) {
        if (busy_) raise(PyExc_RuntimeError, "the reader is in use by another thread");
        if (!file_.is_open()) raise(PyExc_ValueError, "the reader is closed");
        busy_ = true;
        int error = 0;
        Py_BEGIN_ALLOW_THREADS;
        while (records_.size() < want && !done_) {
            if (pos_ == len_) {
                ssize_t got = file_.read(buffer_.data(), buffer_.size());
                if (got < 0) {
                    error = errno;
                    break;
                }
                pos_ = 0;
                len_ = static_cast<size_t>(got);
                if (got == 0) {
                    parser_.finish(&records_);
                    done_ = true;
                    break;
                }
                if (!bom_checked_) {
                    bom_checked_ = true;
                    if (start_ == 0 && len_ >= 3 &&
                        std::memcmp(buffer_.data(), "\xEF\xBB\xBF", 3) == 0) {
                        // The parser's stream, its offsets and the stop begin after the mark.
                        pos_ = 3;
                        start_ = 3;
                        if (options_.stop != UINT64_MAX)
                            options_.stop = options_.stop > 3 ? options_.stop - 3 : 0;
                        parser_ = csv::Parser(options_);
                        parser_.set_width(width_);
                    }
                }
            }
            pos_ +=
                parser_.feed(buffer_.data() + pos_, len_ - pos_, &records_, want - records_.size());
            if (parser_.failed() || parser_.stopped()) done_ = true;
        }
        Py_END_ALLOW_THREADS;
        busy_ = false;
        if (error) {
            errno = error;
            file_.os_error();
        }
        if (parser_.failed()) raise_failure(parser_.failure(), width_, field_limit_);
    }

    File file_;
    csv::Options options_;
    csv::Parser parser_{csv::Options()};
    csv::Records records_;
    std::vector<StrCache> caches_;  // one per column
    std::vector<char> buffer_;
    size_t pos_ = 0, len_ = 0;
    size_t width_ = 0;
    size_t field_limit_ = csv::kDefaultFieldLimit;
    int64_t start_ = 0;
    uint64_t rows_ = 0;
    bool bom_checked_ = false;
    bool done_ = false;
    bool busy_ = false;
};

const char* const kScanDoc = R"(Where the records of a byte range of a CSV file begin.

scan(path, start, stop, width, field_limit=131072) -> (begin, end, lines, outcomes)

The range is moved to start and end at line starts: begin is just after the first "\n" at or
after byte start - 1 (0 for start 0), end the same for stop (the file's size beyond it); lines
counts the line ends in [begin, end). `path` may also be a binary file object, as for Reader.
A line start lies between records or inside a quoted field, so the range is read from both:
outcomes holds, for a start between records and for a start inside quotes, the tuple (ends
inside quotes, records completed, a record left open at the end, problem, line, message),
problem being None or "syntax", "encoding" or "fields" with its line counted from 1 at begin
and its message: the first problem of the range, or of the rest of a record left open at its end
(read beyond it). The range is read without building any str.
)";

nb::tuple scan(nb::handle path, int64_t start, int64_t stop, int64_t width, int64_t field_limit) {
    if (start < 0 || stop < start) raise(PyExc_ValueError, "need 0 <= start <= stop");
    if (width < 1) raise(PyExc_ValueError, "width must be at least 1");
    if (field_limit < 0) raise(PyExc_ValueError, "field_limit must not be negative");
    File file(path);
    const int64_t size = file.size();
    if (size < 0) raise(PyExc_ValueError, "scan needs a regular file or a file object");
    struct Outcome {
        bool quoted = false, open = false;
        uint64_t records = 0;
        csv::Failure failure;
    } outcomes[2];
    int64_t begin = 0, end = size, lines = 0;
    int error = 0;
    Py_BEGIN_ALLOW_THREADS;
    std::vector<char> buf(size_t(1) << 20);
    // Just after the first '\n' at or after byte at - 1.
    auto line_start = [&](int64_t at) -> int64_t {
        if (at <= 0) return 0;
        for (int64_t pos = at - 1; pos < size;) {
            ssize_t got = file.read(buf.data(), buf.size(), pos);
            if (got <= 0) {
                if (got < 0) error = errno;
                return size;
            }
            if (const void* nl = std::memchr(buf.data(), '\n', static_cast<size_t>(got)))
                return pos + (static_cast<const char*>(nl) - buf.data()) + 1;
            pos += got;
        }
        return size;
    };
    begin = line_start(start);
    end = stop >= size ? size : line_start(stop);
    if (end < begin) end = begin;
    for (int h = 0; h < 2 && !error; ++h) {
        csv::Options o;
        o.width = static_cast<size_t>(width);
        o.field_limit = static_cast<size_t>(field_limit);
        o.start = h ? csv::State::kInQuoted : csv::State::kStartRecord;
        int64_t pos = begin;
        if (pos == 0) {
            char bom[3];
            if (file.read(bom, 3, 0) == 3 && std::memcmp(bom, "\xEF\xBB\xBF", 3) == 0) pos = 3;
        }
        o.stop = static_cast<uint64_t>(std::max<int64_t>(end - pos, 0));
        csv::Parser parser(o);
        bool last_was_cr = false;
        // The first pass counts the range's lines to its end, also past a problem of its own
        // reading: the ranges after this one are numbered from them whichever reading holds.
        while (pos < end && (h == 0 || !parser.failed())) {
            size_t want = static_cast<size_t>(std::min<int64_t>(end - pos, buf.size()));
            ssize_t got = file.read(buf.data(), want, pos);
            if (got <= 0) {
                error = got < 0 ? errno : EIO;
                break;
            }
            if (h == 0) {  // line ends: '\n', and '\r' not followed by '\n'
                for (ssize_t i = 0; i < got; ++i) {
                    const char c = buf[i];
                    if (c == '\n')
                        ++lines;
                    else if (last_was_cr)
                        ++lines;
                    last_was_cr = c == '\r';
                }
            }
            if (!parser.failed()) parser.feed(buf.data(), static_cast<size_t>(got), nullptr);
            pos += got;
        }
        if (h == 0 && last_was_cr) ++lines;  // a '\r' ends the range only at the file's end
        if (end == size) parser.finish(nullptr);
        outcomes[h].quoted = parser.state() == csv::State::kInQuoted;
        outcomes[h].open = parser.in_own_record();
        outcomes[h].records = parser.records();
        // The rest of a record left open is read too (as read_block reads it), so that a problem
        // there is found before those of the ranges after this one.
        for (int64_t at = end; parser.in_own_record() && !parser.failed() && !error;) {
            if (at == size) {
                parser.finish(nullptr);
                break;
            }
            ssize_t got = file.read(buf.data(), buf.size(), at);
            if (got <= 0) {
                error = got < 0 ? errno : EIO;
                break;
            }
            parser.feed(buf.data(), static_cast<size_t>(got), nullptr);
            at += got;
        }
        outcomes[h].failure = parser.failure();
    }
    Py_END_ALLOW_THREADS;
    if (error) {
        errno = error;
        file.os_error();
    }
    nb::list results;
    for (const Outcome& o : outcomes) {
        nb::object problem = o.failure.problem == csv::Problem::kNone
                                 ? nb::none()
                                 : nb::object(nb::str(problem_name(o.failure.problem)));
        nb::object message =
            o.failure.problem == csv::Problem::kNone
                ? nb::none()
                : nb::object(nb::str(failure_message(o.failure, static_cast<size_t>(width),
                                                     static_cast<size_t>(field_limit))
                                         .c_str()));
        results.append(
            nb::make_tuple(o.quoted, o.records, o.open, problem, o.failure.line, message));
    }
    return nb::make_tuple(begin, end, lines, results);
}

// The UTF-8 bytes of a str cell, or TypeError.
std::pair<const char*, size_t> utf8_of(PyObject* o, const char* what) {
    if (!PyUnicode_Check(o))
        raise(PyExc_TypeError, "format_rows: %s must be str, not %.200s", what,
              Py_TYPE(o)->tp_name);
    if (PyUnicode_IS_COMPACT_ASCII(o))
        return {static_cast<const char*>(PyUnicode_DATA(o)),
                static_cast<size_t>(PyUnicode_GET_LENGTH(o))};
    Py_ssize_t n = 0;
    const char* s = PyUnicode_AsUTF8AndSize(o, &n);
    if (!s) raise_current();
    return {s, static_cast<size_t>(n)};
}

// One column appended to the rows: float64 values written as repr() writes them, or str cells.
struct ExtraColumn {
    nb::object keep;  // what the pointers below point into
    const double* floats = nullptr;
    npy_intp float_stride = 0;
    nb::object cells;  // a sequence of str (list or tuple)
    size_t size = 0;
};

const char* const kFormatDoc = R"(CSV text of rows, as Python's csv writer writes them.

format_rows(rows, columns=()) -> bytes

rows is a 2-D object array of str (any strides). Each row is followed by one field per entry of
columns: a 1-D float64 array (values written as repr() writes them) or a list of str, one per
row. Fields are quoted when they hold a comma, a quote or a line break (quotes doubled), a row
of one empty field is written "", and rows end with "\n". The text is UTF-8.
)";

nb::bytes format_rows(nb::handle rows, nb::handle columns) {
    if (!PyArray_Check(rows.ptr()))
        raise(PyExc_TypeError, "format_rows: rows must be a NumPy array, not %.200s",
              Py_TYPE(rows.ptr())->tp_name);
    auto* a = reinterpret_cast<PyArrayObject*>(rows.ptr());
    if (PyArray_NDIM(a) != 2 || PyArray_TYPE(a) != NPY_OBJECT)
        raise(PyExc_TypeError, "format_rows: rows must be a 2-D object array");
    const npy_intp n_rows = PyArray_DIM(a, 0), n_cols = PyArray_DIM(a, 1);
    std::vector<ExtraColumn> extra;
    nb::object seq =
        nb::steal(PySequence_Fast(columns.ptr(), "format_rows: columns must be a sequence"));
    if (!seq) raise_current();
    for (Py_ssize_t k = 0; k < PySequence_Fast_GET_SIZE(seq.ptr()); ++k) {
        nb::handle c = PySequence_Fast_GET_ITEM(seq.ptr(), k);
        ExtraColumn col;
        if (PyArray_Check(c.ptr()) &&
            PyArray_TYPE(reinterpret_cast<PyArrayObject*>(c.ptr())) == NPY_DOUBLE) {
            auto* f = reinterpret_cast<PyArrayObject*>(c.ptr());
            if (PyArray_NDIM(f) != 1 || !PyArray_ISNOTSWAPPED(f) || !PyArray_ISALIGNED(f))
                raise(PyExc_TypeError, "format_rows: a float column must be a 1-D native array");
            col.keep = nb::borrow(c);
            col.floats = static_cast<const double*>(PyArray_DATA(f));
            col.float_stride = PyArray_STRIDE(f, 0);
            col.size = static_cast<size_t>(PyArray_DIM(f, 0));
        } else if (PyList_Check(c.ptr()) || PyTuple_Check(c.ptr())) {
            col.cells = nb::borrow(c);
            col.size = static_cast<size_t>(PySequence_Size(c.ptr()));
        } else {
            raise(PyExc_TypeError,
                  "format_rows: a column must be a float64 array or a list of str");
        }
        if (col.size != static_cast<size_t>(n_rows))
            raise(PyExc_ValueError, "format_rows: a column has %zu values for %zd rows", col.size,
                  static_cast<Py_ssize_t>(n_rows));
        extra.push_back(std::move(col));
    }
    std::string out;
    const char* base = static_cast<const char*>(PyArray_DATA(a));
    const npy_intp s0 = PyArray_STRIDE(a, 0), s1 = PyArray_STRIDE(a, 1);
    const size_t fields = static_cast<size_t>(n_cols) + extra.size();
    for (npy_intp i = 0; i < n_rows; ++i) {
        const size_t row_start = out.size();
        size_t k = 0;
        auto separate = [&] {
            if (k++) out.push_back(',');
        };
        for (npy_intp j = 0; j < n_cols; ++j) {
            PyObject* cell;
            std::memcpy(&cell, base + i * s0 + j * s1, sizeof cell);
            if (!cell) raise(PyExc_TypeError, "format_rows: an empty cell");
            auto text = utf8_of(cell, "every cell");
            separate();
            csv::append_field(out, text.first, text.second);
        }
        for (const ExtraColumn& col : extra) {
            separate();
            if (col.floats) {
                double v;
                std::memcpy(&v, reinterpret_cast<const char*>(col.floats) + i * col.float_stride,
                            sizeof v);
                tabrix::text_format::append_double_repr(out, v);
            } else {
                // No Python code runs while the rows are written (cells must be str), so the
                // list keeps its size.
                PyObject* cell = PyList_Check(col.cells.ptr())
                                     ? PyList_GET_ITEM(col.cells.ptr(), i)
                                     : PyTuple_GET_ITEM(col.cells.ptr(), i);
                auto text = utf8_of(cell, "every value of a column");
                csv::append_field(out, text.first, text.second);
            }
        }
        if (fields == 1 && out.size() == row_start) out.append("\"\"");
        out.push_back('\n');
    }
    return nb::bytes(out.data(), out.size());
}

}  // namespace

// value_counts, for the report's summaries (summary.cpp).
void bind_summary(nb::module_& m);

NB_MODULE(_tableio, m) {
    if (!tabrix::import_numpy_api()) throw nb::python_error();
    m.doc() =
        "CSV files read into object arrays of str, rows written as CSV text, and Arrow columns "
        "as the text cells a CSV file of the same table holds.";
    csv_error_type = PyErr_NewExceptionWithDoc("tabrix_libs._tableio.CsvError",
                                               "A CSV file that cannot be read: its attributes "
                                               "problem, line and fields say why and where.",
                                               PyExc_ValueError, nullptr);
    if (!csv_error_type) throw nb::python_error();
    m.attr("CsvError") = nb::handle(csv_error_type);
    m.attr("DEFAULT_FIELD_LIMIT") = csv::kDefaultFieldLimit;

    nb::class_<Reader>(m, "Reader", kReaderDoc)
        .def(nb::init<nb::handle, int64_t, int64_t, bool, int64_t, int64_t>(), nb::arg("path"),
             nb::arg("start") = 0, nb::arg("stop") = -1, nb::arg("inside_quotes") = false,
             nb::arg("first_line") = 1, nb::arg("field_limit") = csv::kDefaultFieldLimit)
        .def("read_header", &Reader::read_header,
             "The first record as a list of str (None when there is none); it fixes the width.")
        .def("set_width", &Reader::set_width, nb::arg("width"),
             "Fixes the number of fields of every record, when the header is not read.")
        .def("read", &Reader::read, nb::arg("max_rows"),
             "Up to max_rows records as a 2-D object array of str; fewer only at the end.")
        .def("close", &Reader::close, "Closes the file.")
        .def_prop_ro("bytes_read", &Reader::bytes_read, "File offset reached.")
        .def_prop_ro("line", &Reader::line, "The line being read, from first_line.")
        .def_prop_ro("size", &Reader::size,
                     "The file's size in bytes (-1 when not a regular file).")
        .def_prop_ro("rows", &Reader::rows, "Records returned by read() so far.");
    m.def("scan", &scan, nb::arg("path"), nb::arg("start"), nb::arg("stop"), nb::arg("width"),
          nb::arg("field_limit") = csv::kDefaultFieldLimit, kScanDoc);
    m.def("format_rows", &format_rows, nb::arg("rows"), nb::arg("columns") = nb::tuple(),
          kFormatDoc);
    tabrix::tableio::add_text_columns(m);
    bind_summary(m);
}
