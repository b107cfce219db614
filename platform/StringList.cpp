// String list entries, lookup and sorting.
#include "platform/StringList.h"

#include "platform/Exception.h"
#include "platform/StrUtils.h"

#include <algorithm>

namespace {
[[noreturn]] void RaiseIndexError(int index) { throw Exception(StrFormat("List index out of bounds (%d)", index)); }
} // namespace

int TStringList::Add(std::string text) {
    FEntries.push_back(TEntry{std::move(text), nullptr, 0});
    return Count() - 1;
}

int TStringList::AddObject(std::string text, std::unique_ptr<TObject> object) {
    FEntries.push_back(TEntry{std::move(text), std::move(object), 0});
    return Count() - 1;
}

int TStringList::AddInteger(std::string text, int32_t value) {
    FEntries.push_back(TEntry{std::move(text), nullptr, value});
    return Count() - 1;
}

void TStringList::Delete(int index) {
    At(index);
    FEntries.erase(FEntries.begin() + index);
}

// Each cycle of the permutation moves round once, one entry held aside; a placed position is
// marked in order by pointing at itself.
void TStringList::Reorder(std::vector<uint32_t> order) {
    if (order.size() != FEntries.size()) throw Exception("List order does not match the list");
    std::vector<bool> seen(order.size());
    for (uint32_t from : order) {
        if (from >= order.size() || seen[from]) throw Exception("List order does not match the list");
        seen[from] = true;
    }
    for (size_t start = 0; start < order.size(); ++start) {
        if (order[start] == start) continue;
        TEntry held = std::move(FEntries[start]);
        size_t at = start;
        for (;;) {
            size_t from = order[at];
            order[at] = uint32_t(at);
            if (from == start) {
                FEntries[at] = std::move(held);
                break;
            }
            FEntries[at] = std::move(FEntries[from]);
            at = from;
        }
    }
}

const TStringList::TEntry& TStringList::At(int index) const {
    if (index < 0 || index >= Count()) RaiseIndexError(index);
    return FEntries[size_t(index)];
}

const std::string& TStringList::Strings(int index) const { return At(index).Text; }
TObject* TStringList::Objects(int index) const { return At(index).Object.get(); }
int32_t TStringList::Integers(int index) const { return At(index).Integer; }

void TStringList::SetInteger(int index, int32_t value) {
    At(index);
    FEntries[size_t(index)].Integer = value;
}

int TStringList::IndexOf(std::string_view text) const {
    for (int i = 0; i < Count(); ++i)
        if (SameText(FEntries[size_t(i)].Text, text)) return i;
    return -1;
}
