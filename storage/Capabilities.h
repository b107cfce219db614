// Capability texts ("NAME = level; ..."): the parsed list and the aggregatable object that
// answers ICapabilities for a storage or an index.
#pragma once

#include "storage/Corvane.h"

#include <string>
#include <string_view>
#include <vector>

// A syntax error in a capability text (not an EKVZError).
class ECapListError : public Exception {
public:
    using Exception::Exception;
};

struct TCapability {
    std::string Name; // as written
    int32_t Value = 0;
};

class TCapList {
public:
    // Parses Text; raises ECapListError on a missing "=" or a bad name, EConvertError on a bad value.
    explicit TCapList(std::string_view Text);
    // The value of the first entry named Name (ASCII case ignored), or -1; a bad name raises.
    int32_t ValueOf(std::string_view Name) const;
    const std::vector<TCapability>& Items() const { return Entries; }

private:
    std::vector<TCapability> Entries;
};

// Whether Name is a valid capability name: a letter or "_", then letters, digits or "_".
bool IsValidCapabilityName(std::string_view Name);

// A component's own capabilities. With a controller, references to ICapabilities count on the
// controller; the controller keeps the object alive through its IInnerUnknown face.
class TCapabilities : public TUnknown, public ICapabilities {
public:
    TCapabilities(IUnknown* Controller, std::string_view Text);

    std::string GetCapability(std::string_view Separator) override;
    int32_t GetCapabilityInt(std::string_view Name) override;
    bool CheckCapabilities(std::string_view Requirements) override;

    const TCapList List;

protected:
    void* GetInterface(const TGUID& iid) override;
};

// The storage's own capability text (each name padded to 23 characters, then "= value;").
std::string StorageCapabilityText();
