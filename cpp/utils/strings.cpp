// Text columns: compress_str_column and numpy_floatstr2float.
#include <cmath>
#include <cstring>
#include <limits>
#include <memory>
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
    explicit Cleaner(Compress mode) : mode_(mode) {}

    void clean(PyObject* s, CleanedBatch& out) {
        StrView v = str_view(s);
        const size_t n = static_cast<size_t>(v.length);
        if (v.ascii) {
            const char* text = static_cast<const char*>(v.data);
            if (mode_ == Compress::kString && Py_TYPE(s) == &PyUnicode_Type &&
                ascii_is_clean(text, n)) {
                out.cells.push_back(Cleaned{Cleaned::kSame, n, 0});
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
            out.cells.push_back(Cleaned{Cleaned::kWide, k, out.wide.commit(k)});
            return;
        }
        char* utf8 = utf8_.room(4 * k + 1);
        out.cells.push_back(Cleaned{Cleaned::kHash, 0, fnv1a64(utf8, utf8_encode(cps, k, utf8))});
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
            out.cells.push_back(Cleaned{Cleaned::kHash, 0, fnv1a64(text, k)});
            return;
        }
        out.cells.push_back(Cleaned{Cleaned::kAscii, k, out.bytes.commit(k)});
    }

    void finish_latin1(const char* text, size_t k, bool beyond_ascii, CleanedBatch& out) {
        if (!beyond_ascii) {
            finish_ascii(text, k, out);
            return;
        }
        if (mode_ == Compress::kString) {
            out.cells.push_back(Cleaned{Cleaned::kLatin1, k, out.bytes.commit(k)});
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
        out.cells.push_back(Cleaned{Cleaned::kHash, 0, fnv1a64(utf8, m)});
    }

    Compress mode_;
    Buffer<char> utf8_;
    Buffer<uint32_t> cps_;
};

// New reference to the object of a cleaned form (s: the str it comes from).
PyObject* build(const Cleaned& c, const CleanedBatch& batch, PyObject* s) {
    PyObject* r;
    switch (c.form) {
        case Cleaned::kSame:
        case Cleaned::kKeep: Py_INCREF(s); return s;
        case Cleaned::kAscii:
        case Cleaned::kLatin1:
            r = PyUnicode_New(static_cast<Py_ssize_t>(c.length),
                              c.form == Cleaned::kAscii ? 127 : 255);
            check(r != nullptr);
            std::memcpy(PyUnicode_DATA(r), batch.bytes.at(c.value), c.length);
            return r;
        case Cleaned::kWide:
            r = PyUnicode_FromKindAndData(PyUnicode_4BYTE_KIND, batch.wide.at(c.value),
                                          static_cast<Py_ssize_t>(c.length));
            break;
        default: r = PyLong_FromUnsignedLongLong(c.value); break;
    }
    check(r != nullptr);
    return r;
}

// The compressed form of one str, cleaned and built at once.
class Compressor {
public:
    explicit Compressor(Compress mode) : cleaner_(mode) {}
    PyObject* operator()(PyObject* s) {
        batch_.clear();
        cleaner_.clean(s, batch_);
        return build(batch_.cells[0], batch_, s);
    }

private:
    Cleaner cleaner_;
    CleanedBatch batch_;
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

// Gathers cells [begin, end) of a 1-D object column for the threads: every cell when the
// GIL stays held (the threads skip what is not an exact str), else a strong reference to each
// exact str, the only cells the threads read.
void gather_strings(HeldCells& held, const char* base, npy_intp stride, size_t begin, size_t end) {
    for (size_t i = begin; i < end; ++i) {
        PyObject* s = load<PyObject*>(base + static_cast<npy_intp>(i) * stride);
        if (!held.strong()) {
            held.hold(i, s);
            continue;
        }
        if (i + kPrefetchFar < end)
            prefetch_for_hold(base + static_cast<npy_intp>(i + kPrefetchFar) * stride);
        if (exact_str(s)) held.hold(i, s);
    }
}

// compress_str_column over plain markers with the cleaning shared among threads (see
// utils/threads.h). Returns the first cell left undone, from which `out` is to be filled on
// one thread (n when none is).
npy_intp compress_parallel(PyArrayObject* a, const ValueSet& markers, Compress mode,
                           unsigned threads, PyObject** dst) {
    const npy_intp n = PyArray_DIM(a, 0);
    const npy_intp stride = PyArray_STRIDE(a, 0);
    const char* base = static_cast<const char*>(PyArray_DATA(a));
    const bool any_marker = !markers.empty();
    const Chunks chunks = split_cells(static_cast<size_t>(n), threads);
    std::vector<CleanedBatch> batches(chunks.count);
    std::vector<Cleaner> cleaners;
    cleaners.reserve(threads);
    for (unsigned w = 0; w < threads; ++w) cleaners.emplace_back(mode);
    Compressor compress(mode);
    HeldCells held(static_cast<size_t>(n), other_python_threads());
    npy_intp stop = n;
    run_released(
        chunks.count, threads, held.strong(),
        [&](size_t t) { gather_strings(held, base, stride, chunks.begin(t), chunks.end(t)); },
        [&](size_t t, unsigned worker) {
            CleanedBatch& batch = batches[t];
            Cleaner& cleaner = cleaners[worker];
            const size_t end = chunks.end(t);
            for (size_t i = chunks.begin(t); i < end; ++i) {
                if (i + kAhead < end) prefetch_pyobject(held[i + kAhead]);
                PyObject* s = held[i];
                if (!exact_str(s))  // left to the calling thread
                    batch.cells.push_back(Cleaned{Cleaned::kLater, 0, 0});
                else if (any_marker && markers.contains_str(s))
                    batch.cells.push_back(Cleaned{Cleaned::kSame, 0, 0});
                else
                    cleaner.clean(s, batch);
            }
        },
        [&](size_t t) {
            CleanedBatch& batch = batches[t];
            const npy_intp begin = static_cast<npy_intp>(chunks.begin(t));
            const npy_intp end = static_cast<npy_intp>(chunks.end(t));
            for (npy_intp i = begin; i < end; ++i) {
                const Cleaned& c = batch.cells[static_cast<size_t>(i - begin)];
                if (c.form != Cleaned::kLater) {
                    dst[i] = build(c, batch, held[static_cast<size_t>(i)]);
                    held.release(static_cast<size_t>(i));
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
                    stop = i;
                    return false;
                }
                dst[i] = compress(cell);
            }
            batch = CleanedBatch();
            return true;
        });
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
    // Markers of no plain kind make every lookup run Python code: those stay on one thread.
    if (threads > 1 && !markers.has_other())
        start = compress_parallel(a, markers, mode, threads, dst);
    Compressor compress(mode);
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
        HeldCells held(n, other_python_threads());
        std::vector<uint8_t> left(n);  // cells the threads left to this one
        const size_t finished = run_released(
            chunks.count, threads, held.strong(),
            [&](size_t t) { gather_strings(held, base, stride, chunks.begin(t), chunks.end(t)); },
            [&](size_t t, unsigned) {
                const size_t end = chunks.end(t);
                for (size_t i = chunks.begin(t); i < end; ++i) {
                    if (i + kAhead < end) prefetch_pyobject(held[i + kAhead]);
                    PyObject* s = held[i];
                    if (exact_str(s))
                        dst[i] = (any_marker && markers.contains_str(s)) ? kNaN : parse_text(s);
                    else
                        left[i] = 1;
                }
            },
            [&](size_t t) {
                const npy_intp end = static_cast<npy_intp>(chunks.end(t));
                for (npy_intp i = static_cast<npy_intp>(chunks.begin(t)); i < end; ++i) {
                    held.release(static_cast<size_t>(i));
                    if (!left[static_cast<size_t>(i)]) continue;
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
