// The exceptions of the storage and index engines (EKVZError with its code, EOstraOpenError)
// and the storage engine's message table. Index texts are literals in their own units.
#pragma once

#include "platform/Exception.h"

#include <cstdint>
#include <string>

class EKVZError : public Exception {
public:
    EKVZError(int32_t code, const std::string& message) : Exception(message), Code(code) {}
    // The message is the printf-style format filled with the arguments.
    static EKVZError CreateFmt(int32_t code, const char* format, ...) __attribute__((format(printf, 2, 3)));

    int32_t Code;
};

// Raised for every file-open error, codes 201 to 209.
class EOstraOpenError : public EKVZError {
public:
    using EKVZError::EKVZError;
};

// The storage engine's message table. Format arguments: a file name (%s) and an atom handle in
// eight upper-case hexadecimal digits.
namespace OstraMsg {
inline constexpr const char* NotImplemented = "Not implemented";
inline constexpr const char* CapabilityNotSupported = "Capability is not supported";
inline constexpr const char* AccessDenied = "Access is denied";
inline constexpr const char* AtomAccessDenied = "Atom access is denied";
inline constexpr const char* AtomShareViolation = "Atom share violation";
inline constexpr const char* InvalidAtomAddress = "Invalid atom address";
inline constexpr const char* CannotCommit = "Cannot commit transaction";
inline constexpr const char* CannotCommitOpened = "Cannot commit transaction: some atoms are still opened";
inline constexpr const char* CannotAbort = "Cannot abort transaction";
inline constexpr const char* CannotAbortOpened = "Cannot abort transaction: some atoms are still opened";
inline constexpr const char* FileReadError = "File read error";
inline constexpr const char* FileWriteError = "File write error";
inline constexpr const char* BrokenLink = "Broken link (atom does not exist)";
inline constexpr const char* BodyCrcFailed = "%s: Atom ($%.8X) body CRC check failed";
inline constexpr const char* EntryCrcFailed = "%s: Atom table entry ($%.8X) CRC check failed";
inline constexpr const char* InvalidMode = "%s: Invalid MODE value";
inline constexpr const char* InvalidClass = "%s: Invalid CLASS value";
inline constexpr const char* InvalidCache = "%s: Invalid CACHE value";
inline constexpr const char* InvalidWriteThrough = "%s: Invalid WRITETHROUGH value";
inline constexpr const char* InvalidAtomSizeAlign = "%s: Invalid AtomSizeAlign value";
inline constexpr const char* UnknownParameter = "%s: Unknown parameter";
inline constexpr const char* OpenFailed = "Error opening file \"%s\": %s";
inline constexpr const char* InvalidFormat = "Invalid file format: \"%s\" is not a valid Ostra file";
inline constexpr const char* UnmatchedClass = "%s: Unmatched file data class";
inline constexpr const char* UnsupportedVersion = "%s: Unsupported version of Ostra file format";
inline constexpr const char* ReadOnlyMarked = "\"%s\" is marked for read access only";
inline constexpr const char* HeaderCrcFailed = "%s: File header CRC check has failed";
inline constexpr const char* FileDamaged = "%s: File damaged";
inline constexpr const char* RecoveryNeedsWrite =
    "\"%s\" holds an interrupted commit; rolling it back needs write access to the file and its folder: %s";
inline constexpr const char* RecoveryFailed = "\"%s\": rolling back an interrupted commit failed: %s";
inline constexpr const char* InvalidTransactionId = "Invalid transaction ID";
} // namespace OstraMsg

// Storage error codes.
namespace OstraCode {
inline constexpr int32_t NotImplemented = 1;
inline constexpr int32_t CapabilityNotSupported = 2;
inline constexpr int32_t AccessDenied = 3;
inline constexpr int32_t ShareViolation = 4;
inline constexpr int32_t InvalidAtomAddress = 5;
inline constexpr int32_t TransactionState = 7;
inline constexpr int32_t FileIo = 9;
inline constexpr int32_t BrokenLink = 10;
inline constexpr int32_t BodyCrc = 11;
inline constexpr int32_t EntryCrc = 12;
inline constexpr int32_t ServerType = 16;
inline constexpr int32_t Parameter = 19;
inline constexpr int32_t OpenFailed = 201;
inline constexpr int32_t InvalidFormat = 202;
inline constexpr int32_t UnmatchedClass = 203;
inline constexpr int32_t UnsupportedVersion = 204;
inline constexpr int32_t ReadOnlyMarked = 205;
inline constexpr int32_t HeaderCrc = 206;
inline constexpr int32_t FileDamaged = 207;
// A hot journal that cannot be rolled back: no wait helps, unlike a file another process holds.
inline constexpr int32_t RecoveryNeedsWrite = 208;
inline constexpr int32_t RecoveryFailed = 209;
} // namespace OstraCode
