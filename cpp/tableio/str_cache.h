// Recent short ASCII texts of one column and their str objects, so that a value repeated down
// a column (a category, a small number) is one object instead of one per row: less memory, and
// fewer objects for the kernels to walk. Direct-mapped: a miss replaces the slot's entry.
#pragma once

#include "python/numpy_api.h"

#include <cstring>
#include <vector>

#include "kernels/hash64.h"
#include "kernels/text_key.h"

namespace tabrix {
namespace tableio {

class StrCache {
public:
    StrCache() : slots_(kSlots) {}
    ~StrCache() {
        for (Slot& s : slots_) Py_XDECREF(s.str);
    }
    StrCache(const StrCache&) = delete;
    StrCache& operator=(const StrCache&) = delete;

    // A new reference to a str of the ASCII text s[0..n), n <= 16 (nullptr with a Python error
    // set when it cannot be made).
    PyObject* get(const char* s, size_t n) {
        const tabrix::TextKey key = tabrix::TextKey::make(s, n, 1);
        Slot& slot =
            slots_[tabrix::mum64(key.head[0] ^ 0x9e3779b97f4a7c15ULL, key.head[1] ^ key.meta) &
                   (kSlots - 1)];
        if (slot.str && slot.key.same_head(key)) {
            Py_INCREF(slot.str);
            return slot.str;
        }
        PyObject* o = PyUnicode_New(static_cast<Py_ssize_t>(n), 127);
        if (!o) return nullptr;
        if (n) std::memcpy(PyUnicode_DATA(o), s, n);
        Py_XDECREF(slot.str);
        Py_INCREF(o);
        slot.str = o;
        slot.key = key;
        return o;
    }

private:
    static constexpr size_t kSlots = 1024;
    struct Slot {
        tabrix::TextKey key{};
        PyObject* str = nullptr;
    };
    std::vector<Slot> slots_;
};

}  // namespace tableio
}  // namespace tabrix
