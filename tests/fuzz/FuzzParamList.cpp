// Fuzz target: parameter texts, each value converted every way, and the storage parameters.
#include "FuzzTarget.h"

#include "storage/ParamList.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* Data, size_t Size) {
    std::string_view text = FuzzText(Data, Size);
    TParamList list(text);
    for (size_t i = 0; i < list.Count(); ++i) {
        TParam& param = list.Items(i);
        try {
            param.AsInteger();
        } catch (const Exception&) {
        }
        try {
            param.AsBoolean();
        } catch (const Exception&) {
        }
        try {
            param.AsGUID();
        } catch (const Exception&) {
        }
        list.Find(param.Name);
    }
    try {
        TOstraStorageParameters params;
        ParseStorageParameters(text, params);
    } catch (const Exception&) {
    }
    return 0;
}
