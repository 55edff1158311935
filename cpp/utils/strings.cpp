// Text columns: compress_str_column and numpy_floatstr2float.
#include <cmath>
#include <cstring>
#include <limits>
#include <memory>
#include <mutex>
#include <type_traits>
#include <vector>

#include "kernels/float_parse.h"
#include "kernels/hash64.h"
#include "kernels/hash_table.h"
#include "kernels/parallel.h"
#include "kernels/text_clean.h"
#include "kernels/text_key.h"
#include "python/array_walk.h"
#include "python/py_args.h"
#include "python/py_errors.h"
#include "python/value_match.h"
#include "utils/threads.h"
#include "utils/utils.h"

namespace tabrix {
namespace utils {

using namespace py;

namespace {

// A 1-D column as an array of object cells (other dtypes are converted; the input is never
// modified).
nb::object object_column(nb::handle Xcol, const char* fn) {
    PyArrayObject* a = require_array(Xcol.ptr(), fn, "Xcol");
    require_ndim(a, 1, fn, "Xcol");
    if (PyArray_TYPE(a) == NPY_OBJECT) return nb::borrow(Xcol);
    return cast_to(a, NPY_OBJECT);
}

// Walks the object cells [begin, end) of a 1-D array, prefetching ahead.
template <class F>
void for_each_object(PyArrayObject* a, npy_intp begin, npy_intp end, F&& f) {
    const npy_intp stride = PyArray_STRIDE(a, 0);
    const char* p = static_cast<const char*>(PyArray_DATA(a));
    for (npy_intp i = begin; i < end; ++i) {
        if (i + kPrefetchDistance < end) prefetch_object(p + (i + kPrefetchDistance) * stride);
        PyObject* cell = load<PyObject*>(p + i * stride);
        f(i, cell ? cell : Py_None);
    }
}
template <class F>
void for_each_object(PyArrayObject* a, F&& f) {
    for_each_object(a, 0, PyArray_DIM(a, 0), f);
}

// How far ahead the threads prefetch the held cells they are about to read.
constexpr size_t kAhead = static_cast<size_t>(kPrefetchDistance);

// ------------------------------------------------------------------------------------------
// compress_str_column

enum class Compress { kString, kHash };

// A growable buffer whose new room is not cleared (each cell's text is written over it).
template <class T>
class Buffer {
public:
    // Room for k more items after the committed ones.
    T* room(size_t k) {
        if (size_ + k > capacity_) {
            size_t cap = capacity_ ? 2 * capacity_ : 256;
            while (cap < size_ + k) cap *= 2;
            std::unique_ptr<T[]> grown(new T[cap]);
            if (size_) std::memcpy(grown.get(), data_.get(), size_ * sizeof(T));
            data_ = std::move(grown);
            capacity_ = cap;
        }
        return data_.get() + size_;
    }
    // Keeps k items of the room; returns the offset of the first.
    size_t commit(size_t k) {
        size_ += k;
        return size_ - k;
    }
    const T* at(size_t offset) const { return data_.get() + offset; }
    size_t size() const { return size_; }
    void clear() { size_ = 0; }

private:
    std::unique_ptr<T[]> data_;
    size_t size_ = 0, capacity_ = 0;
};

// What one str becomes, worked out without Python: the cell itself, a new text (ASCII or
// Latin-1 bytes, or code points) kept in a batch, or a hash.
struct Cleaned {
    // kSame: the str itself; kKeep: a cell that is no str, kept; kLater: a cell the calling
    // thread handles itself (a str subclass, or a str not ready to be read).
    enum Form : uint8_t { kSame, kAscii, kLatin1, kWide, kHash, kKeep, kLater };
    Form form;
    size_t length;
    uint64_t value;  // offset of the text in the batch, or the hash
    uint64_t key;    // of a kAscii or kLatin1 text from a keyed Cleaner: its table hash
};

// The cleaned forms of a run of strings, their texts side by side.
struct CleanedBatch {
    std::vector<Cleaned> cells;
    Buffer<char> bytes;
    Buffer<uint32_t> wide;
    void clear() {
        cells.clear();
        bytes.clear();
        wide.clear();
    }
};

// Cleans strings into a batch. Reads only their text: it runs no Python code and needs no
// GIL, once the strings are ready (always from Python 3.12 on, checked when gathered before).
class Cleaner {
public:
    // keyed: with the table hash of each text, for sharing equal results (Builder).
    explicit Cleaner(Compress mode, bool keyed = false) : mode_(mode), keyed_(keyed) {}

    void clean(PyObject* s, CleanedBatch& out) {
        StrView v = str_view(s);
        const size_t n = static_cast<size_t>(v.length);
        if (v.ascii) {
            const char* text = static_cast<const char*>(v.data);
            if (mode_ == Compress::kString && Py_TYPE(s) == &PyUnicode_Type &&
                ascii_is_clean(text, n)) {
                out.cells.push_back(Cleaned{Cleaned::kSame, n, 0, 0});
                return;
            }
            char* room = out.bytes.room(n + 1);
            finish_ascii(room, clean_ascii(text, n, room), out);
            return;
        }
        if (v.kind == PyUnicode_1BYTE_KIND) {
            // Latin-1: cleaned through a 256-entry table while the result stays Latin-1.
            const uint8_t* text = static_cast<const uint8_t*>(v.data);
            unsigned char* room = reinterpret_cast<unsigned char*>(out.bytes.room(2 * n + 1));
            const Latin1Table& table = latin1_table();
            size_t k = 0;
            unsigned any = 0;
            bool wide = false;
            for (size_t i = 0; i < n; ++i) {
                const Latin1Table::Entry& e = table.map[text[i]];
                room[k] = e.c[0];
                room[k + 1] = e.c[1];
                k += e.len;
                any |= e.c[0] | e.c[1];
                wide |= e.wide;
            }
            if (!wide) {
                finish_latin1(reinterpret_cast<char*>(room), k, any >= 128, out);
                return;
            }
        }
        uint32_t* cps =
            mode_ == Compress::kString ? out.wide.room(3 * n + 1) : cps_.room(3 * n + 1);
        size_t k;
        switch (v.kind) {
            case PyUnicode_1BYTE_KIND:
                k = clean_ucs1(static_cast<const uint8_t*>(v.data), n, cps);
                break;
            case PyUnicode_2BYTE_KIND:
                k = clean_ucs2(static_cast<const uint16_t*>(v.data), n, cps);
                break;
            default: k = clean_ucs4(static_cast<const uint32_t*>(v.data), n, cps); break;
        }
        if (mode_ == Compress::kString) {
            out.cells.push_back(Cleaned{Cleaned::kWide, k, out.wide.commit(k), 0});
            return;
        }
        char* utf8 = utf8_.room(4 * k + 1);
        out.cells.push_back(
            Cleaned{Cleaned::kHash, 0, fnv1a64(utf8, utf8_encode(cps, k, utf8)), 0});
    }

private:
    // What each Latin-1 character becomes: up to two Latin-1 characters, or `wide` when the
    // result leaves Latin-1 (the micro sign folds to a Greek mu).
    struct Latin1Table {
        struct Entry {
            unsigned char c[2];
            unsigned char len;
            bool wide;
        };
        Entry map[256];
        Latin1Table() : map() {
            for (uint32_t c = 0; c < 256; ++c) {
                uint32_t out[3];
                size_t k = clean_codepoint(c, out);
                Entry& e = map[c];
                e.len = static_cast<unsigned char>(k);
                e.wide = k > 2;
                for (size_t i = 0; i < k && i < 2; ++i) {
                    e.wide = e.wide || out[i] > 255;
                    e.c[i] = static_cast<unsigned char>(out[i] <= 255 ? out[i] : 0);
                }
            }
        }
    };
    static const Latin1Table& latin1_table() {
        static const Latin1Table table;
        return table;
    }

    // text: k cleaned bytes at the batch's room.
    void finish_ascii(const char* text, size_t k, CleanedBatch& out) {
        if (mode_ == Compress::kHash) {
            out.cells.push_back(Cleaned{Cleaned::kHash, 0, fnv1a64(text, k), 0});
            return;
        }
        out.cells.push_back(Cleaned{Cleaned::kAscii, k, out.bytes.commit(k),
                                    keyed_ ? table_hash_bytes(text, k, 0) : 0});
    }

    void finish_latin1(const char* text, size_t k, bool beyond_ascii, CleanedBatch& out) {
        if (!beyond_ascii) {
            finish_ascii(text, k, out);
            return;
        }
        if (mode_ == Compress::kString) {
            out.cells.push_back(Cleaned{Cleaned::kLatin1, k, out.bytes.commit(k),
                                        keyed_ ? table_hash_bytes(text, k, 1) : 0});
            return;
        }
        // UTF-8 of Latin-1: two bytes for each character from 0x80.
        const unsigned char* b = reinterpret_cast<const unsigned char*>(text);
        char* utf8 = utf8_.room(2 * k + 1);
        size_t m = 0;
        for (size_t i = 0; i < k; ++i) {
            if (b[i] < 0x80) {
                utf8[m++] = static_cast<char>(b[i]);
            } else {
                utf8[m++] = static_cast<char>(0xC0 | (b[i] >> 6));
                utf8[m++] = static_cast<char>(0x80 | (b[i] & 0x3F));
            }
        }
        out.cells.push_back(Cleaned{Cleaned::kHash, 0, fnv1a64(utf8, m), 0});
    }

    Compress mode_;
    bool keyed_;
    Buffer<char> utf8_;
    Buffer<uint32_t> cps_;
};

// One object for equal results. A text column to clean usually holds a few thousand distinct
// values (categories) over many rows: sharing the object of each value saves allocating, and
// keeping, one per row. Given up for the rest of the column when a stretch of rows brings too
// few repeats to pay for the lookups. Used with the GIL; holds a reference to each result.
class SharedResults {
public:
    struct Entry {
        uint64_t value;  // the hash of the hash mode, or where the text is in texts()
        size_t length;   // of the text
        PyObject* object;
    };

    SharedResults() = default;
    SharedResults(const SharedResults&) = delete;
    SharedResults& operator=(const SharedResults&) = delete;
    ~SharedResults() {
        for (PyObject* o : owned_) Py_DECREF(o);
    }

    bool on() const { return on_; }
    void set_on(bool on) { on_ = on; }
    template <class Same>
    const Entry* find(uint64_t h, Same&& same) const {
        return table_.find(h, same);
    }
    void prefetch(uint64_t h) const { table_.prefetch(h); }
    // Counts a lookup of a row's result (hit: a shared one was found).
    void count(bool hit) {
        ++looked_;
        hits_ += hit;
        if (looked_ == kStretch) {
            // Fewer than one repeat in eight rows: the column is mostly distinct values.
            if (8 * hits_ < kStretch) on_ = false;
            looked_ = hits_ = 0;
        }
    }
    // Shares result: the object of the hash `value` (text null) or of text[0, length).
    void add(uint64_t h, uint64_t value, const char* text, size_t length, PyObject* result) {
        if (!on_ || owned_.size() >= kMaxShared) return;
        if (text) {
            if (length > kMaxTextBytes - texts_.size()) return;
            // A copy of the text, compared with in lookups rather than the object's own,
            // which lies further away in memory.
            std::memcpy(texts_.room(length + 1), text, length);  // never null, even for ""
            value = texts_.commit(length);
        }
        Py_INCREF(result);
        owned_.push_back(result);
        table_.insert(h, Entry{value, length, result});
    }
    const char* text(const Entry& e) const { return texts_.at(e.value); }

private:
    static constexpr size_t kStretch = 65536;
    // Bounds on what is kept for sharing: past them, new values are built but not shared.
    static constexpr size_t kMaxShared = size_t(1) << 20;
    static constexpr size_t kMaxTextBytes = size_t(64) << 20;
    FlatHashSet<Entry> table_;
    Buffer<char> texts_;
    std::vector<PyObject*> owned_;
    size_t looked_ = 0, hits_ = 0;
    bool on_ = false;
};

// Columns shorter than this are built without sharing: on a short column of mostly distinct
// values, growing the table (fresh memory, its pages faulted in) costs more than the repeats
// save (measured: 16,384 cells drawn from 50,000 values took twice as long with sharing).
constexpr size_t kMinSharedColumn = size_t(1) << 18;

// Builds the objects of cleaned forms, with the GIL.
class Builder {
public:
    // Finds the shared results that the cells of a batch can take, before they are built:
    // looking them up one after another, with the table and the objects loaded ahead, hides
    // the memory latency that one lookup per cell between cleanings would wait for.
    void look_ahead(const CleanedBatch& batch) {
        const size_t n = batch.cells.size();
        ahead_.assign(n, nullptr);
        if (!shared_.on()) return;
        constexpr size_t kDistance = 8;
        for (size_t k = 0; k < n + kDistance; ++k) {
            if (k < n && shareable(batch.cells[k])) shared_.prefetch(table_hash(batch.cells[k]));
            if (k < kDistance) continue;
            const size_t j = k - kDistance;
            const Cleaned& c = batch.cells[j];
            if (!shareable(c)) continue;
            const SharedResults::Entry* e = find(c, batch);
            shared_.count(e != nullptr);
            if (!e) continue;
            ahead_[j] = e->object;
#if defined(__GNUC__) || defined(__clang__)
            __builtin_prefetch(e->object, 1);
#endif
        }
        ahead_on_ = true;
    }

    // New reference to the object of cleaned form c (s: the str it comes from; k: its place
    // in the batch, when look_ahead was called for it).
    PyObject* operator()(const Cleaned& c, const CleanedBatch& batch, PyObject* s,
                         size_t k = kNoPlace) {
        switch (c.form) {
            case Cleaned::kSame:
            case Cleaned::kKeep: Py_INCREF(s); return s;
            case Cleaned::kWide: {
                PyObject* r =
                    PyUnicode_FromKindAndData(PyUnicode_4BYTE_KIND, batch.wide.at(c.value),
                                              static_cast<Py_ssize_t>(c.length));
                check(r != nullptr);
                return r;
            }
            default: break;
        }
        if (shared_.on()) {
            PyObject* found = nullptr;
            if (k != kNoPlace && ahead_on_) {
                // Not found ahead: it may since have been built for an earlier cell.
                found = ahead_[k];
                if (!found) {
                    const SharedResults::Entry* e = find(c, batch);
                    if (e) found = e->object;
                }
            } else {
                const SharedResults::Entry* e = find(c, batch);
                shared_.count(e != nullptr);
                if (e) found = e->object;
            }
            if (found) {
                Py_INCREF(found);
                return found;
            }
        }
        PyObject* r;
        if (c.form == Cleaned::kHash) {
            r = PyLong_FromUnsignedLongLong(c.value);
            check(r != nullptr);
            shared_.add(table_hash(c), c.value, nullptr, 0, r);
            return r;
        }
        const char* text = batch.bytes.at(c.value);
        r = PyUnicode_New(static_cast<Py_ssize_t>(c.length), c.form == Cleaned::kAscii ? 127 : 255);
        check(r != nullptr);
        std::memcpy(PyUnicode_DATA(r), text, c.length);
        shared_.add(table_hash(c), 0, text, c.length, r);
        return r;
    }

    // Ends the use of what look_ahead found (before the batch is cleared or dropped).
    void done_ahead() { ahead_on_ = false; }

    // Whether equal results share one object. Worth it only for results built in a row,
    // after look_ahead (compress_chunks): one lookup per cell between cleanings waits for
    // memory every time, and costs more than it saves; and only for long columns (see
    // kMinSharedColumn).
    void share(bool on) { shared_.set_on(on); }

private:
    static constexpr size_t kNoPlace = ~size_t(0);

    static bool shareable(const Cleaned& c) {
        return c.form == Cleaned::kAscii || c.form == Cleaned::kLatin1 || c.form == Cleaned::kHash;
    }
    static uint64_t table_hash(const Cleaned& c) {
        return c.form == Cleaned::kHash ? mix64(c.value) : c.key;
    }
    const SharedResults::Entry* find(const Cleaned& c, const CleanedBatch& batch) const {
        const uint64_t h = table_hash(c);
        // A column is compressed in one mode: its results are all hashes or all texts.
        if (c.form == Cleaned::kHash)
            return shared_.find(h,
                                [&](const SharedResults::Entry& e) { return e.value == c.value; });
        // ASCII and Latin-1 texts never have the same bytes: the latter hold a byte from 0x80.
        const char* text = batch.bytes.at(c.value);
        return shared_.find(h, [&](const SharedResults::Entry& e) {
            return e.length == c.length && std::memcmp(shared_.text(e), text, c.length) == 0;
        });
    }

    SharedResults shared_;
    std::vector<PyObject*> ahead_;  // borrowed from shared_, per cell of the batch
    bool ahead_on_ = false;
};

// Batches handed out to the threads and taken back once built, so that their buffers, grown
// to the size of a chunk, are reused rather than allocated (and their pages faulted in) again
// for every chunk.
class BatchPool {
public:
    std::unique_ptr<CleanedBatch> take() {
        {
            std::lock_guard<std::mutex> lock(mutex_);
            if (!spare_.empty()) {
                std::unique_ptr<CleanedBatch> b = std::move(spare_.back());
                spare_.pop_back();
                return b;
            }
        }
        return std::unique_ptr<CleanedBatch>(new CleanedBatch());
    }
    void give_back(std::unique_ptr<CleanedBatch> b) {
        b->clear();
        std::lock_guard<std::mutex> lock(mutex_);
        spare_.push_back(std::move(b));
    }

private:
    std::mutex mutex_;
    std::vector<std::unique_ptr<CleanedBatch>> spare_;
};

// The compressed form of one str, cleaned and built at once.
class Compressor {
public:
    explicit Compressor(Compress mode) : cleaner_(mode) {}
    PyObject* operator()(PyObject* s) {
        batch_.clear();
        cleaner_.clean(s, batch_);
        return build_(batch_.cells[0], batch_, s);
    }
    Builder& builder() { return build_; }

private:
    Cleaner cleaner_;
    CleanedBatch batch_;
    Builder build_;
};

// Whether the text of a str can be read by another thread as it is (strings made by the
// legacy API before Python 3.12 get their compact form on first use, which allocates).
inline bool ready(PyObject* s) {
#if PY_VERSION_HEX < 0x030C0000
    return PyUnicode_IS_READY(s);
#else
    (void)s;
    return true;
#endif
}

// Whether a cell is an exact str whose text other threads can read.
inline bool exact_str(PyObject* s) { return s && Py_TYPE(s) == &PyUnicode_Type && ready(s); }

// compress_str_column over plain markers, chunk by chunk: the strings of a chunk are cleaned
// (by the threads, when there are several: see utils/threads.h), then their results built in
// a row. Returns the first cell left undone, from which `out` is to be filled one cell at a
// time (n when none is).
npy_intp compress_chunks(PyArrayObject* a, const ValueSet& markers, Compress mode,
                         Compressor& compress, unsigned threads, PyObject** dst) {
    const npy_intp n = PyArray_DIM(a, 0);
    const npy_intp stride = PyArray_STRIDE(a, 0);
    const char* base = static_cast<const char*>(PyArray_DATA(a));
    const bool any_marker = !markers.empty();
    const Chunks chunks = split_cells(static_cast<size_t>(n), threads);
    std::vector<std::unique_ptr<CleanedBatch>> batches(chunks.count);
    BatchPool pool;
    std::vector<Cleaner> cleaners;
    cleaners.reserve(threads);
    const bool share = static_cast<size_t>(n) >= kMinSharedColumn;
    for (unsigned w = 0; w < threads; ++w) cleaners.emplace_back(mode, share);
    ColumnCells cells(base, stride, static_cast<size_t>(n), threads > 1 && other_python_threads());
    Builder& build = compress.builder();
    build.share(share);
    npy_intp stop = n;
    run_released(
        chunks.count, threads, cells.strong(),
        [&](size_t t) { cells.gather(chunks.begin(t), chunks.end(t), exact_str); },
        [&](size_t t, unsigned worker) {
            batches[t] = pool.take();
            CleanedBatch& batch = *batches[t];
            Cleaner& cleaner = cleaners[worker];
            const size_t end = chunks.end(t);
            for (size_t i = chunks.begin(t); i < end; ++i) {
                if (i + kAhead < end) prefetch_pyobject(cells[i + kAhead]);
                PyObject* s = cells[i];
                if (!exact_str(s))  // left to the calling thread
                    batch.cells.push_back(Cleaned{Cleaned::kLater, 0, 0, 0});
                else if (any_marker && markers.contains_str(s))
                    batch.cells.push_back(Cleaned{Cleaned::kSame, 0, 0, 0});
                else
                    cleaner.clean(s, batch);
            }
        },
        [&](size_t t) {
            CleanedBatch& batch = *batches[t];
            const npy_intp begin = static_cast<npy_intp>(chunks.begin(t));
            const npy_intp end = static_cast<npy_intp>(chunks.end(t));
            build.look_ahead(batch);
            for (npy_intp i = begin; i < end; ++i) {
                const size_t k = static_cast<size_t>(i - begin);
                const Cleaned& c = batch.cells[k];
                if (c.form != Cleaned::kLater) {
                    dst[i] = build(c, batch, cells[static_cast<size_t>(i)], k);
                    continue;
                }
                PyObject* cell = load<PyObject*>(base + i * stride);
                if (!cell) cell = Py_None;
                if (!PyUnicode_Check(cell)) {
                    Py_INCREF(cell);
                    dst[i] = cell;
                    continue;
                }
                // A str subclass is looked up among the markers by its own hash and ==.
                if (any_marker && Py_TYPE(cell) != &PyUnicode_Type) {
                    build.done_ahead();
                    stop = i;
                    return false;
                }
                dst[i] = compress(cell);
            }
            build.done_ahead();
            cells.release(chunks.begin(t), chunks.end(t));
            pool.give_back(std::move(batches[t]));
            return true;
        });
    build.share(false);  // for the cells left, built one at a time
    return stop;
}

// ------------------------------------------------------------------------------------------
// numpy_floatstr2float

const double kNaN = std::numeric_limits<double>::quiet_NaN();

double parse_text(PyObject* s) {
    if (PyUnicode_IS_COMPACT_ASCII(s) && PyUnicode_GET_LENGTH(s) <= 16) {
        // Plain short numbers ("-12.5") in two words, read after the object header.
        const size_t n = static_cast<size_t>(PyUnicode_GET_LENGTH(s));
        const TextKey k = TextKey::make_after_header(PyUnicode_DATA(s), n, 1);
        double d;
        if (parse_simple_decimal16(k.head[0], k.head[1], n, &d)) return d;
    }
    StrView v = str_view(s);
    const size_t n = static_cast<size_t>(v.length);
    double d = kNaN;
    bool ok;
    if (v.ascii)
        ok = parse_float_ascii(static_cast<const char*>(v.data), n, &d);
    else if (v.kind == PyUnicode_1BYTE_KIND)
        ok = parse_float_ucs1(static_cast<const uint8_t*>(v.data), n, &d);
    else if (v.kind == PyUnicode_2BYTE_KIND)
        ok = parse_float_ucs2(static_cast<const uint16_t*>(v.data), n, &d);
    else
        ok = parse_float_ucs4(static_cast<const uint32_t*>(v.data), n, &d);
    return ok ? d : kNaN;
}

// Float value of an object that is not a str, a plain number or NaN: ints beyond the double
// range give an infinity, other objects with __float__ (Decimal, Fraction...) their value,
// anything else (None, bytes, complex, containers...) NaN.
double other_value(PyObject* o) {
    if (PyLong_Check(o)) {
        double d = PyLong_AsDouble(o);
        if (d == -1.0 && PyErr_Occurred()) {
            if (!PyErr_ExceptionMatches(PyExc_OverflowError)) raise_current();
            PyErr_Clear();
            int sign = 0;
            PyLong_AsLongLongAndOverflow(o, &sign);
            return sign < 0 ? -std::numeric_limits<double>::infinity()
                            : std::numeric_limits<double>::infinity();
        }
        return d;
    }
    if (PyUnicode_Check(o)) return parse_text(o);
    if (PyBytes_Check(o) || PyByteArray_Check(o) || PyComplex_Check(o) || PyArray_Check(o) ||
        PyArray_IsScalar(o, ComplexFloating))
        return kNaN;
    PyNumberMethods* nm = Py_TYPE(o)->tp_as_number;
    if (!nm || !nm->nb_float) return kNaN;
    double d = PyFloat_AsDouble(o);
    if (d == -1.0 && PyErr_Occurred()) {
        if (!(PyErr_ExceptionMatches(PyExc_TypeError) || PyErr_ExceptionMatches(PyExc_ValueError) ||
              PyErr_ExceptionMatches(PyExc_OverflowError)))
            raise_current();
        PyErr_Clear();
        return kNaN;
    }
    return d;
}

// Float value of any cell (NaN when it matches a marker). Lookups and __float__ may run
// Python code that rebinds cells of the column and frees this one: it is held meanwhile.
double cell_value(PyObject* cell, const ValueSet* markers) {
    const CellInfo info = classify(cell);
    nb::object hold;
    if (info.kind == Kind::kOther || (markers && markers->has_other())) hold = nb::borrow(cell);
    if (markers && markers->contains(cell)) return kNaN;
    switch (info.kind) {
        case Kind::kStr: return parse_text(cell);
        case Kind::kNum: return number_value(cell, info);
        case Kind::kOther: return other_value(cell);
        default: return kNaN;
    }
}

template <class V>
inline double numeric_cell(V v, const NumKeySet& markers) {
    if constexpr (std::is_floating_point<V>::value) {
        return markers.contains_double(static_cast<double>(v)) ? kNaN : static_cast<double>(v);
    } else {
        NumKey key = std::is_signed<V>::value ? NumKey::from_int64(static_cast<int64_t>(v))
                                              : NumKey::from_uint64(static_cast<uint64_t>(v));
        return markers.contains(key) ? kNaN : static_cast<double>(v);
    }
}

}  // namespace

nb::object compress_str_column(nb::handle Xcol, nb::handle misslist, nb::handle compress_type) {
    const char* fn = "compress_str_column";
    Compress mode;
    PyObject* ct = compress_type.ptr();
    if (PyUnicode_Check(ct) && PyUnicode_CompareWithASCIIString(ct, "string") == 0)
        mode = Compress::kString;
    else if (PyUnicode_Check(ct) && PyUnicode_CompareWithASCIIString(ct, "hash") == 0)
        mode = Compress::kHash;
    else
        raise(PyExc_ValueError, "%s: compress_type must be 'string' or 'hash', got %s", fn,
              short_repr(ct).c_str());
    nb::object col = object_column(Xcol, fn);
    ValueSet markers = read_value_list(misslist.ptr(), fn, "misslist");
    PyArrayObject* a = arr(col);
    nb::object out = new_array(1, PyArray_DIMS(a), NPY_OBJECT);
    PyObject** dst = static_cast<PyObject**>(PyArray_DATA(arr(out)));
    const npy_intp n = PyArray_DIM(a, 0);
    const unsigned threads = kernel_threads(static_cast<size_t>(n), kMinCellsCompress, fn);
    npy_intp start = 0;
    Compressor compress(mode);
    // Markers of no plain kind make every lookup run Python code: those are looked up one
    // cell at a time, on one thread.
    if (threads > 1 && !markers.has_other())
        start = compress_chunks(a, markers, mode, compress, threads, dst);
    const bool any_marker = !markers.empty();
    auto keep_or_compress = [&](npy_intp i, PyObject* cell) {
        if (!PyUnicode_Check(cell) || (any_marker && markers.contains(cell))) {
            Py_INCREF(cell);
            dst[i] = cell;
        } else {
            dst[i] = compress(cell);
        }
    };
    for_each_object(a, start, n, [&](npy_intp i, PyObject* cell) {
        // Exact strings looked up among plain markers run no Python code. Otherwise the
        // lookup may rebind cells of the column and free this one: it is held meanwhile.
        if (!any_marker || (Py_TYPE(cell) == &PyUnicode_Type && !markers.has_other()) ||
            !PyUnicode_Check(cell)) {
            keep_or_compress(i, cell);
        } else {
            nb::object hold = nb::borrow(cell);
            keep_or_compress(i, cell);
        }
    });
    return out;
}

nb::object numpy_floatstr2float(nb::handle Xcol, nb::handle missing_values_reference_list) {
    const char* fn = "numpy_floatstr2float";
    PyArrayObject* x = require_array(Xcol.ptr(), fn, "Xcol");
    require_ndim(x, 1, fn, "Xcol");
    ValueSet markers =
        read_value_list(missing_values_reference_list.ptr(), fn, "missing_values_reference_list");
    nb::object out = new_array(1, PyArray_DIMS(x), NPY_DOUBLE);
    double* dst = static_cast<double*>(PyArray_DATA(arr(out)));

    const int type_num = PyArray_TYPE(x);
    if (type_num != NPY_OBJECT) {
        nb::object native = native_order(x);
        PyArrayObject* a = arr(native);
        NumKeySet keys = markers.numeric_keys();
        bool done = dispatch_numeric(type_num, [&](auto tag) {
            using T = decltype(tag);
            nb::gil_scoped_release nogil;
            for_each_run(a, [&](const char* p, npy_intp stride, npy_intp n, npy_intp start) {
                for (npy_intp k = 0; k < n; ++k)
                    dst[start + k] = numeric_cell(Cell<T>::read(p + k * stride), keys);
            });
        });
        if (done) return out;
    }

    nb::object col = object_column(Xcol, fn);
    PyArrayObject* a = arr(col);
    const bool any_marker = !markers.empty();
    const bool plain_markers = !markers.has_other();
    const size_t n = static_cast<size_t>(PyArray_DIM(a, 0));
    const unsigned threads = kernel_threads(n, kMinCellsParse, fn);
    npy_intp start = 0;
    if (threads > 1 && plain_markers) {
        // The threads parse the exact strings (see utils/threads.h); the other cells are left
        // for this thread, which converts them in order.
        const npy_intp stride = PyArray_STRIDE(a, 0);
        const char* base = static_cast<const char*>(PyArray_DATA(a));
        const Chunks chunks = split_cells(n, threads);
        ColumnCells cells(base, stride, n, other_python_threads());
        std::vector<std::vector<size_t>> left(chunks.count);  // cells left to this thread
        const size_t finished = run_released(
            chunks.count, threads, cells.strong(),
            [&](size_t t) { cells.gather(chunks.begin(t), chunks.end(t), exact_str); },
            [&](size_t t, unsigned) {
                const size_t end = chunks.end(t);
                for (size_t i = chunks.begin(t); i < end; ++i) {
                    if (i + kAhead < end) prefetch_pyobject(cells[i + kAhead]);
                    PyObject* s = cells[i];
                    if (exact_str(s))
                        dst[i] = (any_marker && markers.contains_str(s)) ? kNaN : parse_text(s);
                    else
                        left[t].push_back(i);
                }
            },
            [&](size_t t) {
                cells.release(chunks.begin(t), chunks.end(t));
                for (size_t at : left[t]) {
                    const npy_intp i = static_cast<npy_intp>(at);
                    PyObject* cell = load<PyObject*>(base + i * stride);
                    if (!cell) cell = Py_None;
                    // Python code (__float__, or hash and == among the markers) may rebind the
                    // cells after this one: they are all read again below.
                    if (classify(cell).kind == Kind::kOther) {
                        start = i;
                        return false;
                    }
                    dst[i] = cell_value(cell, any_marker ? &markers : nullptr);
                }
                return true;
            });
        if (finished == chunks.count) start = static_cast<npy_intp>(n);
    }
    for_each_object(a, start, static_cast<npy_intp>(n), [&](npy_intp i, PyObject* cell) {
        if (Py_TYPE(cell) == &PyUnicode_Type && plain_markers) {  // the common case
            dst[i] = (any_marker && markers.contains_str(cell)) ? kNaN : parse_text(cell);
            return;
        }
        dst[i] = cell_value(cell, any_marker ? &markers : nullptr);
    });
    return out;
}

}  // namespace utils
}  // namespace tabrix
