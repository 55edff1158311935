// Open-addressing hash table that keeps its entries in insertion order.
//
// The entries live in a vector in the order they were inserted (so the table doubles as an
// ordered set of distinct values); the slot array holds, per slot, 32 bits of the entry's
// hash and its position + 1 (0 = empty slot). Lookups compare the stored hash bits first and
// call the caller's equality only on a hash match. Linear probing, load factor at most 1/2.
#pragma once

#include <cstddef>
#include <cstdint>
#include <stdexcept>
#include <vector>

namespace tabrix {

template <class Entry>
class OrderedHashTable {
public:
    OrderedHashTable() { rehash(16); }

    // Position of the entry with hash h for which eq(entry) is true, or -1. eq may signal an
    // error by throwing; the table stays unchanged.
    template <class Eq>
    int64_t find(uint64_t h, Eq&& eq) const {
        uint32_t tag = static_cast<uint32_t>(h >> 32);
        size_t i = static_cast<size_t>(h) & mask_;
        for (;;) {
            const Slot& s = slots_[i];
            if (s.pos == 0) return -1;
            if (s.tag == tag && eq(entries_[s.pos - 1])) return static_cast<int64_t>(s.pos - 1);
            i = (i + 1) & mask_;
        }
    }

    // Adds an entry known to be absent; returns its position.
    size_t insert(uint64_t h, const Entry& e) {
        if (2 * (entries_.size() + 1) > slots_.size()) rehash(2 * slots_.size());
        if (entries_.size() >= 0xFFFFFFFEu) throw std::length_error("hash table too large");
        entries_.push_back(e);
        hashes_.push_back(h);
        place(h, static_cast<uint32_t>(entries_.size()));
        return entries_.size() - 1;
    }

    // Reserves room for n entries without rehashing.
    void reserve(size_t n) {
        size_t cap = slots_.size();
        while (cap < 2 * n) cap *= 2;
        if (cap != slots_.size()) rehash(cap);
        entries_.reserve(n);
        hashes_.reserve(n);
    }

    size_t size() const { return entries_.size(); }
    bool empty() const { return entries_.empty(); }
    const Entry& operator[](size_t i) const { return entries_[i]; }
    const std::vector<Entry>& entries() const { return entries_; }

private:
    struct Slot {
        uint32_t tag;
        uint32_t pos;  // position + 1; 0 = empty
    };

    void place(uint64_t h, uint32_t pos) {
        size_t i = static_cast<size_t>(h) & mask_;
        while (slots_[i].pos != 0) i = (i + 1) & mask_;
        slots_[i] = Slot{static_cast<uint32_t>(h >> 32), pos};
    }

    void rehash(size_t cap) {
        slots_.assign(cap, Slot{0, 0});
        mask_ = cap - 1;
        for (size_t k = 0; k < hashes_.size(); ++k) place(hashes_[k], static_cast<uint32_t>(k + 1));
    }

    std::vector<Slot> slots_;
    size_t mask_ = 0;
    std::vector<Entry> entries_;
    std::vector<uint64_t> hashes_;
};

}  // namespace tabrix

namespace tabrix {

// Open-addressing hash set whose slots hold the entries themselves next to their 64-bit hash,
// so that a lookup reads one slot (usually one cache line) per probe. Entries must be
// trivially copyable; the caller supplies the hash and the equality. Linear probing, load
// factor at most 5/8. A stored hash of 0 marks an empty slot (a real hash of 0 is stored as 1).
template <class Entry>
class FlatHashSet {
public:
    FlatHashSet() { rehash(16); }

    template <class Eq>
    const Entry* find(uint64_t h, Eq&& eq) const {
        h = h ? h : 1;
        size_t i = static_cast<size_t>(h) & mask_;
        for (;;) {
            const Slot& s = slots_[i];
            if (s.hash == 0) return nullptr;
            if (s.hash == h && eq(s.entry)) return &s.entry;
            i = (i + 1) & mask_;
        }
    }

    // Starts loading the slot where a lookup of h begins.
    void prefetch(uint64_t h) const {
#if defined(__GNUC__) || defined(__clang__)
        __builtin_prefetch(&slots_[static_cast<size_t>(h ? h : 1) & mask_]);
#else
        (void)h;
#endif
    }

    // Adds an entry known to be absent.
    void insert(uint64_t h, const Entry& e) {
        if (8 * (size_ + 1) > 5 * slots_.size()) rehash(2 * slots_.size());
        place(h ? h : 1, e);
        ++size_;
    }

    size_t size() const { return size_; }
    bool empty() const { return size_ == 0; }

private:
    struct Slot {
        uint64_t hash;
        Entry entry;
    };

    void place(uint64_t h, const Entry& e) {
        size_t i = static_cast<size_t>(h) & mask_;
        while (slots_[i].hash != 0) i = (i + 1) & mask_;
        slots_[i].hash = h;
        slots_[i].entry = e;
    }

    void rehash(size_t cap) {
        std::vector<Slot> old;
        old.swap(slots_);
        slots_.assign(cap, Slot{0, Entry{}});
        mask_ = cap - 1;
        for (const Slot& s : old)
            if (s.hash) place(s.hash, s.entry);
    }

    std::vector<Slot> slots_;
    size_t mask_ = 0;
    size_t size_ = 0;
};

}  // namespace tabrix
