// TStringList: an ordered list of byte strings, each entry carrying an owned object, an integer,
// or neither. The list owns its objects: dropping the list frees them.
#pragma once

#include <algorithm>
#include <cstdint>
#include <functional>
#include <memory>
#include <string>
#include <string_view>
#include <vector>

// Base of the objects a list entry may own.
class TObject {
public:
    virtual ~TObject() = default;
};

class TStringList {
public:
    struct TEntry {
        std::string Text;
        std::unique_ptr<TObject> Object;
        int32_t Integer = 0;
    };

    TStringList() = default;
    TStringList(TStringList&&) = default;
    TStringList& operator=(TStringList&&) = default;

    int Count() const { return int(FEntries.size()); }
    bool Empty() const { return FEntries.empty(); }
    void Clear() { FEntries.clear(); }
    // Makes room for count entries, so that appending that many moves none.
    void Reserve(int count) { FEntries.reserve(size_t(std::max(count, 0))); }

    // Appends and returns the new entry's index.
    int Add(std::string text);
    int AddObject(std::string text, std::unique_ptr<TObject> object);
    int AddInteger(std::string text, int32_t value);
    void Delete(int index);

    // Index access; out of range raises EListError "List index out of bounds (N)".
    const std::string& Strings(int index) const;
    const std::string& operator[](int index) const { return Strings(index); }
    TObject* Objects(int index) const;
    // The entry's object as T, or nullptr when it has none or another kind.
    template <class T> T* ObjectAs(int index) const { return dynamic_cast<T*>(Objects(index)); }
    int32_t Integers(int index) const;
    void SetInteger(int index, int32_t value);

    // First entry equal to Text ignoring ASCII letter case, or -1.
    int IndexOf(std::string_view text) const;

    // Sorts by Compare (negative: A before B). Equal entries keep no defined order.
    // A template, so that the comparison is inlined into the sort.
    template <class Compare> void CustomSort(Compare&& compare) {
        std::stable_sort(FEntries.begin(), FEntries.end(),
                         [&](const TEntry& a, const TEntry& b) { return compare(a, b) < 0; });
    }

    // Puts the entries in order: the entry at order[i] becomes entry i. order holds each index
    // once (else an Exception); it is used up as the entries move.
    void Reorder(std::vector<uint32_t> order);

    const std::vector<TEntry>& Entries() const { return FEntries; }
    auto begin() const { return FEntries.begin(); }
    auto end() const { return FEntries.end(); }

private:
    const TEntry& At(int index) const;
    std::vector<TEntry> FEntries;
};
