// Fuzz target: the uploaded skin file, read and, when it loads, drawn with a counter value.
#include "FuzzTarget.h"

#include "webadmin/SkinType.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* Data, size_t Size) {
    try {
        TSkin skin;
        TMemoryStream stream(std::vector<uint8_t>(Data, Data + Size));
        if (skin.LoadFromStream(&stream)) {
            skin.SetValue(int32_t(Size * 7919));
            skin.GetImage();
        }
    } catch (const Exception&) {
    }
    return 0;
}
