// Parameter texts ("Mode:Open; Class:{GUID}"): the parsed list with typed, cached getters, and
// the storage's own parameters parsed from such a text.
#pragma once

#include "storage/Corvane.h"
#include "platform/StrUtils.h"

#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

// A missing parameter asked for by name (not an EKVZError).
class EParamParserError : public Exception {
public:
    using Exception::Exception;
};

class TParam {
public:
    TParam(std::string_view Name, std::string_view Value) : Name(Name), Value(Value) {}

    bool NameIs(std::string_view name) const;
    // Each conversion runs once and is cached; a failed one raises EConvertError and is
    // tried again on the next call.
    int32_t AsInteger();
    bool AsBoolean();
    TGUID AsGUID();

    std::string Name;
    std::string Value;

private:
    std::optional<int32_t> CachedInt;
    std::optional<bool> CachedBool;
    std::optional<TGUID> CachedGuid;
};

class TParamList {
public:
    TParamList() = default;
    explicit TParamList(std::string_view Text) { Parse(Text); }

    // Clears the list and fills it from Text.
    void Parse(std::string_view Text);
    size_t Count() const { return Params.size(); }
    TParam& Items(size_t Index);
    // The first parameter named Name (ASCII case ignored), or nullptr.
    TParam* Find(std::string_view Name);
    bool Exists(std::string_view Name) { return Find(Name) != nullptr; }
    // Raises EParamParserError "\"Name\" - unknown parameter" when absent.
    TParam& ParamByName(std::string_view Name);
    int32_t GetInt(std::string_view Name) { return ParamByName(Name).AsInteger(); }

private:
    std::vector<std::unique_ptr<TParam>> Params;
};

struct TOstraStorageParameters {
    TOpenMode Mode = TOpenMode::OpenOrCreate;
    std::vector<TGUID> Classes;
    bool WriteThrough = false;
    int32_t Cache = 0;
    int32_t AtomSizeAlign = 1;
};

// Fills Params from Text (defaults first); any bad item raises EKVZError 19, leaving what was
// processed before it.
void ParseStorageParameters(std::string_view Text, TOstraStorageParameters& Params);

// Location without a leading "file://" (any case).
std::string StripFileScheme(std::string_view Location);
