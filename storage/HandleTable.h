// THandleTable: values by atom handle in one open-addressing array (linear probing, at most half
// full, removal by moving the rest of the probe run back). A value that tests false marks a free
// slot, so the values are pointers or owning pointers. Used by the transactions' image tables
// and by the atom cache.
#pragma once

#include "storage/Prefetch.h"

#include <array>
#include <cstddef>
#include <cstdint>
#include <utility>
#include <vector>

template <class TValue> class THandleTable {
public:
    // The handle's value, or nullptr when it has none.
    TValue* Find(uint32_t handle) {
        if (!(filter_[FilterWord(handle)] & FilterBit(handle))) return nullptr;
        TSlot& slot = slots_[Probe(handle)];
        return slot.Value ? &slot.Value : nullptr;
    }
    const TValue* Find(uint32_t handle) const { return const_cast<THandleTable*>(this)->Find(handle); }

    // A hint that handle is looked up soon: the memory of its slot is asked for.
    void Prefetch(uint32_t handle) const {
        if (used_ != 0) ::Prefetch(&slots_[SlotOf(handle)]);
    }

    // Stores value, which must test true, for handle; a value it had is replaced.
    void Put(uint32_t handle, TValue value) {
        if (slots_.empty()) slots_.resize(16);
        size_t i = Probe(handle);
        if (!slots_[i].Value) {
            if (size_t(used_ + 1) * 2 > slots_.size()) {
                Grow();
                i = Probe(handle);
            }
            ++used_;
            filter_[FilterWord(handle)] |= FilterBit(handle);
        }
        slots_[i] = TSlot{handle, std::move(value)};
    }

    // Takes the handle's value out; a value testing false when it had none.
    TValue Take(uint32_t handle) {
        if (used_ == 0) return TValue{};
        size_t mask = slots_.size() - 1;
        size_t hole = Probe(handle);
        TValue value = std::move(slots_[hole].Value);
        if (!value) return value;
        if (--used_ == 0) filter_ = {};
        // An entry of the run may fill the hole when its home is not cyclically within (hole, j].
        for (size_t j = (hole + 1) & mask; slots_[j].Value; j = (j + 1) & mask) {
            size_t home = SlotOf(slots_[j].Handle);
            bool between = hole <= j ? (hole < home && home <= j) : (hole < home || home <= j);
            if (!between) {
                slots_[hole] = std::move(slots_[j]);
                hole = j;
            }
        }
        slots_[hole] = TSlot{};
        return value;
    }

    uint32_t Count() const { return used_; }
    void Clear() {
        slots_.clear();
        used_ = 0;
        filter_ = {};
    }
    // Calls visit(handle, value) for every value, in no particular order.
    template <class F> void ForEach(F visit) const {
        for (const TSlot& slot : slots_)
            if (slot.Value) visit(slot.Handle, slot.Value);
    }

private:
    struct TSlot {
        uint32_t Handle = 0;
        TValue Value{};
    };
    // A bit of the filter by the hash's top bits, which no slot number of a table that fits in
    // memory uses: the word, then the bit in it.
    static size_t FilterWord(uint32_t handle) { return size_t((uint64_t(handle) * 0x9E3779B97F4A7C15u) >> 61); }
    static uint64_t FilterBit(uint32_t handle) {
        return uint64_t(1) << ((uint64_t(handle) * 0x9E3779B97F4A7C15u) >> 55 & 63);
    }
    // Four neighbouring handles (as a transaction's new atoms are) share the hash of their group
    // and lie side by side, in one cache line of slots.
    size_t SlotOf(uint32_t handle) const {
        size_t group = size_t((uint64_t(handle >> 2) * 0x9E3779B97F4A7C15u) >> 32);
        return (group << 2 | (handle & 3)) & (slots_.size() - 1);
    }
    // The slot holding handle, or the free one where it would go.
    size_t Probe(uint32_t handle) const {
        size_t mask = slots_.size() - 1;
        size_t i = SlotOf(handle);
        while (slots_[i].Value && slots_[i].Handle != handle) i = (i + 1) & mask;
        return i;
    }
    void Grow() {
        std::vector<TSlot> old = std::move(slots_);
        slots_ = std::vector<TSlot>(old.size() * 2);
        for (TSlot& slot : old)
            if (slot.Value) slots_[Probe(slot.Handle)] = std::move(slot);
    }

    std::vector<TSlot> slots_; // a power of two long
    uint32_t used_ = 0;
    // The filter bits of every handle put since the table was last empty: most lookups of a
    // small table end here, without a probe.
    std::array<uint64_t, 8> filter_{};
};
