// The POSIX implementation of TOsFile: open(2) with O_CLOEXEC, flock(2), pread/pwrite.
#include "platform/OsFile.h"

#include <cerrno>
#include <climits>
#include <cstring>
#include <fcntl.h>
#include <filesystem>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

EOSError::EOSError(int code, const std::string& call)
    : Exception(StrFormat("System error %d in %s: %s", code, call.c_str(), OsErrorText(code).c_str())), Code(code) {}

std::string OsErrorText(int code) { return std::strerror(code); }

std::string FullPathOf(const std::string& name) {
    std::error_code error;
    auto path = std::filesystem::absolute(name, error);
    return error ? name : path.string();
}

TOsFile::~TOsFile() { Close(); }

void TOsFile::Close() {
    if (fd_ < 0) return;
    ::close(fd_); // also drops the flock
    fd_ = -1;
}

int TOsFile::Open(const std::string& name, bool writable, TOsDisposition disposition, bool writeThrough) {
    Close();
    int flags = O_CLOEXEC | (writable ? O_RDWR : O_RDONLY);
    if (disposition == TOsDisposition::OpenAlways) flags |= O_CREAT;
    if (disposition == TOsDisposition::CreateNew) flags |= O_CREAT | O_EXCL;
    if (writeThrough) flags |= O_DSYNC;
    int fd;
    do {
        fd = ::open(name.c_str(), flags, 0666);
    } while (fd < 0 && errno == EINTR);
    if (fd < 0) return errno;
    int lockRc;
    do {
        lockRc = ::flock(fd, (writable ? LOCK_EX : LOCK_SH) | LOCK_NB);
    } while (lockRc < 0 && errno == EINTR);
    if (lockRc < 0) {
        int error = errno;
        ::close(fd);
        return error;
    }
    ::posix_fadvise(fd, 0, 0, POSIX_FADV_RANDOM);
    fd_ = fd;
    return 0;
}

size_t TOsFile::ReadAt(std::span<uint8_t> buffer, uint64_t position) {
    size_t done = 0;
    while (done < buffer.size()) {
        ssize_t n = ::pread(fd_, buffer.data() + done, buffer.size() - done, off_t(position + done));
        if (n < 0) {
            if (errno == EINTR) continue;
            throw EOSError(errno, "pread");
        }
        if (n == 0) break;
        done += size_t(n);
    }
    return done;
}

size_t TOsFile::WriteAt(std::span<const uint8_t> bytes, uint64_t position) {
    size_t done = 0;
    while (done < bytes.size()) {
        ssize_t n = ::pwrite(fd_, bytes.data() + done, bytes.size() - done, off_t(position + done));
        if (n < 0) {
            if (errno == EINTR) continue;
            throw EOSError(errno, "pwrite");
        }
        if (n == 0) break;
        done += size_t(n);
    }
    return done;
}

void TOsFile::SetEnd(uint64_t length) {
    if (length > uint64_t(LLONG_MAX)) throw EOSError(EFBIG, "ftruncate");
    int rc;
    do {
        rc = ::ftruncate(fd_, off_t(length));
    } while (rc < 0 && errno == EINTR);
    if (rc < 0) throw EOSError(errno, "ftruncate");
}

uint64_t TOsFile::Size() {
    struct stat info;
    if (::fstat(fd_, &info) < 0) throw EOSError(errno, "fstat");
    return uint64_t(info.st_size);
}

void TOsFile::Flush() {
    if (fd_ >= 0) ::fsync(fd_);
}
