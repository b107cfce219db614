// Parsing of parameter texts and of the storage's parameters.
#include "storage/ParamList.h"

#include "storage/Support.h"

namespace {
bool IsItemSeparator(char c) { return c == '\n' || c == '\r' || c == ',' || c == ';'; }
bool IsBlank(char c) { return c == '\t' || c == ' '; }
bool IsNameValueSeparator(char c) { return c == ':' || c == '='; }

struct TModeName {
    const char* Name;
    TOpenMode Mode;
};
constexpr TModeName ModeNames[] = {{"READONLY", TOpenMode::ReadOnly},
                                   {"OPEN", TOpenMode::Open},
                                   {"OPENORCREATE", TOpenMode::OpenOrCreate},
                                   {"CREATE", TOpenMode::Create}};

[[noreturn]] void ParameterError(const char* format, const std::string& argument) {
    throw EKVZError::CreateFmt(OstraCode::Parameter, format, argument.c_str());
}
} // namespace

bool TParam::NameIs(std::string_view name) const { return SameText(Name, name); }

int32_t TParam::AsInteger() {
    if (!CachedInt) CachedInt = StrToInt(Value);
    return *CachedInt;
}

bool TParam::AsBoolean() {
    if (CachedBool) return *CachedBool;
    for (const char* word : {"True", "Yes", "On", "1"})
        if (SameText(Value, word)) return *(CachedBool = true);
    for (const char* word : {"FALSE", "NO", "OFF", "0"})
        if (SameText(Value, word)) return *(CachedBool = false);
    throw EConvertError("\"" + Value + "\" is not a valid boolean value");
}

TGUID TParam::AsGUID() {
    if (CachedGuid) return *CachedGuid;
    std::optional<TGUID> guid = TGUID::Parse(Value);
    if (!guid) throw EConvertError("'" + Value + "' is not a valid GUID value");
    return *(CachedGuid = guid);
}

void TParamList::Parse(std::string_view Text) {
    Params.clear();
    size_t pos = 0;
    const size_t size = Text.size();
    while (pos < size) {
        while (pos < size && (IsItemSeparator(Text[pos]) || IsBlank(Text[pos]))) ++pos;
        if (pos >= size) break;
        size_t nameEnd = pos;
        while (nameEnd < size && !IsItemSeparator(Text[nameEnd]) && !IsNameValueSeparator(Text[nameEnd])) ++nameEnd;
        std::string name = Trim(Text.substr(pos, nameEnd - pos));
        std::string value;
        pos = nameEnd;
        if (pos < size && IsNameValueSeparator(Text[pos])) {
            size_t valueEnd = ++pos;
            while (valueEnd < size && !IsItemSeparator(Text[valueEnd])) ++valueEnd;
            value = Trim(Text.substr(pos, valueEnd - pos));
            pos = valueEnd;
        }
        if (!name.empty()) Params.push_back(std::make_unique<TParam>(name, value));
    }
}

TParam& TParamList::Items(size_t Index) {
    if (Index >= Params.size()) throw EInvalidIndex();
    return *Params[Index];
}

TParam* TParamList::Find(std::string_view Name) {
    for (auto& param : Params)
        if (param->NameIs(Name)) return param.get();
    return nullptr;
}

TParam& TParamList::ParamByName(std::string_view Name) {
    if (TParam* param = Find(Name)) return *param;
    throw EParamParserError("\"" + std::string(Name) + "\" - unknown parameter");
}

void ParseStorageParameters(std::string_view Text, TOstraStorageParameters& Params) {
    Params = TOstraStorageParameters{};
    if (Text.empty()) return;
    TParamList list(Text);
    for (size_t i = 0; i < list.Count(); ++i) {
        TParam& param = list.Items(i);
        if (param.NameIs("Mode")) {
            std::string upper = UpperCase(param.Value);
            const TModeName* match = nullptr;
            for (const TModeName& mode : ModeNames)
                if (upper == mode.Name) match = &mode;
            if (!match) ParameterError(OstraMsg::InvalidMode, upper);
            Params.Mode = match->Mode;
        } else if (param.NameIs("Class")) {
            try {
                Params.Classes.push_back(param.AsGUID());
            } catch (const std::exception&) {
                ParameterError(OstraMsg::InvalidClass, param.Value);
            }
        } else if (param.NameIs("Cache")) {
            try {
                Params.Cache = param.AsInteger();
            } catch (const std::exception&) {
                ParameterError(OstraMsg::InvalidCache, param.Value);
            }
        } else if (param.NameIs("WriteThrough")) {
            try {
                Params.WriteThrough = param.AsBoolean();
            } catch (const std::exception&) {
                ParameterError(OstraMsg::InvalidWriteThrough, param.Value);
            }
        } else if (param.NameIs("AtomSizeAlign")) {
            int32_t align = 0;
            try {
                align = param.AsInteger();
            } catch (const std::exception&) {
                ParameterError(OstraMsg::InvalidAtomSizeAlign, param.Value);
            }
            if (align < 1 || align > 255) ParameterError(OstraMsg::InvalidAtomSizeAlign, param.Value);
            Params.AtomSizeAlign = align;
        } else {
            ParameterError(OstraMsg::UnknownParameter, param.Name);
        }
    }
}

std::string StripFileScheme(std::string_view Location) {
    constexpr std::string_view Scheme = "file://";
    if (Location.size() >= Scheme.size() && SameText(Location.substr(0, Scheme.size()), Scheme))
        return std::string(Location.substr(Scheme.size()));
    return std::string(Location);
}
