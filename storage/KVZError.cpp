// EKVZError construction with a formatted message.
#include "storage/KVZError.h"

EKVZError EKVZError::CreateFmt(int32_t code, const char* format, ...) {
    va_list args;
    va_start(args, format);
    std::string text = VStrFormat(format, args);
    va_end(args);
    return EKVZError(code, text);
}
