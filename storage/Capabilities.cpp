// Parsing and checking of capability texts.
#include "storage/Capabilities.h"

#include "platform/StrUtils.h"

#include <utility>

namespace {
bool IsSeparator(char c) { return c == '\r' || c == '\n' || c == ',' || c == ';'; }
bool IsLetter(char c) { return (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || c == '_'; }
bool IsDigit(char c) { return c >= '0' && c <= '9'; }

void CheckName(std::string_view name) {
    if (!IsValidCapabilityName(name))
        throw ECapListError("\"" + std::string(name) + "\" is not a valid capability name");
}
} // namespace

bool IsValidCapabilityName(std::string_view Name) {
    if (Name.empty() || !IsLetter(Name.front())) return false;
    for (char c : Name.substr(1))
        if (!IsLetter(c) && !IsDigit(c)) return false;
    return true;
}

TCapList::TCapList(std::string_view Text) {
    size_t pos = 0;
    while (pos <= Text.size()) {
        size_t end = pos;
        while (end < Text.size() && !IsSeparator(Text[end])) ++end;
        std::string item = Trim(Text.substr(pos, end - pos));
        pos = end + 1;
        if (item.empty()) continue;
        size_t eq = item.find('=');
        if (eq == std::string_view::npos) throw ECapListError("'=' sign missing in capabilities string");
        int32_t value = StrToInt(Trim(std::string_view(item).substr(eq + 1)));
        std::string name = Trim(std::string_view(item).substr(0, eq));
        CheckName(name);
        Entries.push_back({std::string(name), value});
    }
}

int32_t TCapList::ValueOf(std::string_view Name) const {
    CheckName(Name);
    for (const TCapability& entry : Entries)
        if (SameText(entry.Name, Name)) return entry.Value;
    return -1;
}

TCapabilities::TCapabilities(IUnknown* Controller, std::string_view Text) : TUnknown(Controller), List(Text) {}

std::string TCapabilities::GetCapability(std::string_view Separator) {
    std::string out;
    for (size_t i = 0; i < List.Items().size(); ++i) {
        if (i > 0) out += Separator;
        out += List.Items()[i].Name + "=" + std::to_string(List.Items()[i].Value);
    }
    return out;
}

int32_t TCapabilities::GetCapabilityInt(std::string_view Name) { return List.ValueOf(Name); }

bool TCapabilities::CheckCapabilities(std::string_view Requirements) {
    TCapList required(Requirements);
    for (const TCapability& need : required.Items())
        if (List.ValueOf(need.Name) < need.Value) return false;
    return true;
}

void* TCapabilities::GetInterface(const TGUID& iid) {
    if (void* found = FindInterface<ICapabilities>(this, iid)) return found;
    return TUnknown::GetInterface(iid);
}

std::string StorageCapabilityText() {
    static const std::pair<const char*, int> items[] = {
        {"DISTRIBUTED_STORAGE", 0},
        {"ENUMERATION", 2},
        {"TRANSACTIONS", 3},
        {"PARALLEL_TRANSACTIONS", 1},
        {"RECURSIVE_TRANSACTIONS", 1},
        {"ACCESS_MODEL_MREW", 2},
        {"ACCESS_MODEL_MREW_FRAG", 1},
        {"ACCESS_MODEL_EXCLUSIVE", 0},
        {"ACCESS_MODEL_IGNORE", 0},
        {"CACHE", 1},
        {"MULTITHREADED", 0},
        {"EXCEPTIONS", 1},
        {"RELIABILITY", 2},
        {"CRC_PROTECTION", 1},
        {"FULL_VERSION", 1},
    };
    constexpr size_t NameColumns = 23; // the "=" stands in column 24
    std::string text;
    for (const auto& [name, value] : items) {
        std::string item = name;
        item.resize(NameColumns, ' ');
        text += item + "= " + std::to_string(value) + ";";
    }
    return text;
}
