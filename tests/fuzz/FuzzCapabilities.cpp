// Fuzz target: capability texts, parsed on their own and checked as a requirement against the
// storage's capabilities.
#include "FuzzTarget.h"

#include "storage/Capabilities.h"

#include <string>

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* Data, size_t Size) {
    std::string_view text = FuzzText(Data, Size);
    try {
        TCapList list(text);
        for (const TCapability& item : list.Items()) list.ValueOf(item.Name);
    } catch (const Exception&) {
    }
    try {
        auto caps = MakeObj<TCapabilities>(nullptr, StorageCapabilityText());
        caps->CheckCapabilities(text);
    } catch (const Exception&) {
    }
    return 0;
}
