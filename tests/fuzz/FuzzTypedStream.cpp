// Fuzz target: the typed-value reader. The first byte picks the order in which integers,
// strings and dates are asked for; the rest is the record.
#include "FuzzTarget.h"

#include "platform/TypedStream.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* Data, size_t Size) {
    if (Size == 0) return 0;
    const uint8_t plan = Data[0];
    TReader reader(FuzzBytes(Data + 1, Size - 1));
    try {
        for (unsigned step = 0; reader.HasMore(); ++step) {
            switch ((plan >> (2 * (step % 4))) & 3) {
            case 0: reader.ReadInteger(); break;
            case 1: reader.ReadString(); break;
            default: reader.ReadDate(); break;
            }
        }
    } catch (const Exception&) {
    }
    return 0;
}
