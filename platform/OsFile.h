// Positioned file access for the storage engine: open with a share lock, pread/pwrite, set the end,
// flush. The only place the storage reaches the operating system's files; no buffering here.
#pragma once

#include "platform/Exception.h"

#include <cstdint>
#include <mutex>
#include <span>
#include <string>

// A failing operating-system call: Code is the errno value, the message names the call and
// gives the system's text.
class EOSError : public Exception {
public:
    EOSError(int code, const std::string& call);
    int Code;
};

// The system's text for an errno value.
std::string OsErrorText(int code);
// The name made absolute (not resolved through links); the name itself when that fails.
std::string FullPathOf(const std::string& name);

enum class TOsDisposition : uint8_t {
    OpenExisting, // fail when missing
    OpenAlways,   // create when missing
    CreateNew,    // fail when present
};

// One open file. Others may share it for reading only: a writable open holds an exclusive
// flock, a read-only open a shared one, both taken without waiting right after the open.
// flock (not fcntl record locks) so that two opens in one process exclude each other too.
class TOsFile {
public:
    TOsFile() = default;
    ~TOsFile();
    TOsFile(const TOsFile&) = delete;
    TOsFile& operator=(const TOsFile&) = delete;

    // Opens the file; returns 0, or the errno value of the failure (EWOULDBLOCK when another
    // open holds a conflicting lock). Nothing stays open on failure.
    int Open(const std::string& name, bool writable, TOsDisposition disposition, bool writeThrough);
    bool IsOpen() const { return fd_ >= 0; }
    void Close();

    // Reads up to buffer.size() bytes at position; fewer only at the end of the file.
    // Raises EOSError when the system call fails.
    size_t ReadAt(std::span<uint8_t> buffer, uint64_t position);
    // Writes the bytes at position; returns the count written (short only on a full disk).
    size_t WriteAt(std::span<const uint8_t> bytes, uint64_t position);
    void SetEnd(uint64_t length);
    uint64_t Size();
    // Asks the system to write its buffers; failures are ignored.
    void Flush();

private:
    int fd_ = -1;
};

// A lock one thread may re-enter.
using TCriticalSection = std::recursive_mutex;
