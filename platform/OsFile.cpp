// The system's file layer: open(2) with O_CLOEXEC, flock(2), pread/pwrite, fsync, and the
// replaceable pointer to the layer in use.
#include "platform/OsFile.h"

#include <cerrno>
#include <climits>
#include <cstring>
#include <fcntl.h>
#include <filesystem>
#include <sys/file.h>
#include <sys/mman.h>
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

namespace {
template <class F> auto RetryOnInterrupt(F call) {
    decltype(call()) rc;
    do {
        rc = call();
    } while (rc < 0 && errno == EINTR);
    return rc;
}

class TSystemFileHandle final : public IOsFileHandle {
public:
    explicit TSystemFileHandle(int fd) : fd_(fd) {}
    ~TSystemFileHandle() override {
        DropView();
        ::close(fd_); // also drops the flock
    }

    size_t ReadAt(std::span<uint8_t> buffer, uint64_t position) override {
        size_t done = 0;
        while (done < buffer.size()) {
            ssize_t n = RetryOnInterrupt(
                [&] { return ::pread(fd_, buffer.data() + done, buffer.size() - done, off_t(position + done)); });
            if (n < 0) throw EOSError(errno, "pread");
            if (n == 0) break;
            done += size_t(n);
        }
        return done;
    }

    size_t WriteAt(std::span<const uint8_t> bytes, uint64_t position) override {
        size_t done = 0;
        while (done < bytes.size()) {
            ssize_t n = RetryOnInterrupt(
                [&] { return ::pwrite(fd_, bytes.data() + done, bytes.size() - done, off_t(position + done)); });
            if (n < 0) throw EOSError(errno, "pwrite");
            if (n == 0) break;
            done += size_t(n);
        }
        return done;
    }

    void SetEnd(uint64_t length) override {
        DropView(); // a shorter file would leave mapped pages that fault when read
        if (length > uint64_t(LLONG_MAX)) throw EOSError(EFBIG, "ftruncate");
        if (RetryOnInterrupt([&] { return ::ftruncate(fd_, off_t(length)); }) < 0) throw EOSError(errno, "ftruncate");
    }

    uint64_t Size() override {
        struct stat info;
        if (::fstat(fd_, &info) < 0) throw EOSError(errno, "fstat");
        return uint64_t(info.st_size);
    }

    void Sync() override {
        if (RetryOnInterrupt([&] { return ::fdatasync(fd_); }) < 0) throw EOSError(errno, "fdatasync");
    }

    // A shared mapping: the kernel maps the page cache's pages a batch per fault, where reading
    // them into buffers of our own costs a fault, a copy and a system call per page. Failing to
    // map is no error; the caller reads the file instead.
    std::span<const uint8_t> ReadView() override {
        if (view_ || viewFailed_) return {static_cast<const uint8_t*>(view_), viewLength_};
        struct stat info;
        if (::fstat(fd_, &info) < 0 || info.st_size <= 0 || uint64_t(info.st_size) > SIZE_MAX) {
            viewFailed_ = true;
            return {};
        }
        void* mapped = ::mmap(nullptr, size_t(info.st_size), PROT_READ, MAP_SHARED, fd_, 0);
        if (mapped == MAP_FAILED) {
            viewFailed_ = true;
            return {};
        }
        view_ = mapped;
        viewLength_ = size_t(info.st_size);
        return {static_cast<const uint8_t*>(view_), viewLength_};
    }

    void DropView() override {
        if (view_) ::munmap(view_, viewLength_);
        view_ = nullptr;
        viewLength_ = 0;
        viewFailed_ = false;
    }

private:
    int fd_;
    void* view_ = nullptr;
    size_t viewLength_ = 0;
    bool viewFailed_ = false;
};

class TSystemFileLayer final : public IOsFileLayer {
public:
    int Open(const std::string& name, bool writable, TOsDisposition disposition, bool writeThrough,
             std::unique_ptr<IOsFileHandle>& handle) override {
        int flags = O_CLOEXEC | (writable ? O_RDWR : O_RDONLY);
        if (disposition == TOsDisposition::OpenAlways) flags |= O_CREAT;
        if (disposition == TOsDisposition::CreateNew) flags |= O_CREAT | O_EXCL;
        if (disposition == TOsDisposition::CreateAlways) flags |= O_CREAT;
        if (writeThrough) flags |= O_DSYNC;
        int fd = RetryOnInterrupt([&] { return ::open(name.c_str(), flags, 0666); });
        if (fd < 0) return errno;
        auto opened = std::make_unique<TSystemFileHandle>(fd);
        if (RetryOnInterrupt([&] { return ::flock(fd, (writable ? LOCK_EX : LOCK_SH) | LOCK_NB); }) < 0) return errno;
        // Emptied only under the lock, so that a file another open holds is never cut.
        if (disposition == TOsDisposition::CreateAlways && RetryOnInterrupt([&] { return ::ftruncate(fd, 0); }) < 0)
            return errno;
        ::posix_fadvise(fd, 0, 0, POSIX_FADV_RANDOM);
        handle = std::move(opened);
        return 0;
    }

    bool Exists(const std::string& name) override {
        struct stat info {};
        return ::stat(name.c_str(), &info) == 0 && S_ISREG(info.st_mode);
    }

    void Remove(const std::string& name) override {
        if (::unlink(name.c_str()) != 0 && errno != ENOENT) throw EOSError(errno, "unlink " + name);
    }

    bool RenameNoReplace(const std::string& from, const std::string& to) override {
        if (::renameat2(AT_FDCWD, from.c_str(), AT_FDCWD, to.c_str(), RENAME_NOREPLACE) == 0) return true;
        if (errno == EEXIST) return false;
        if (errno != EINVAL && errno != ENOSYS) throw EOSError(errno, "rename " + from);
        // File systems without the flag: a hard link fails when To exists, which is what we need.
        if (::link(from.c_str(), to.c_str()) != 0) {
            if (errno == EEXIST) return false;
            throw EOSError(errno, "link " + from);
        }
        Remove(from);
        return true;
    }

    void SyncFolderOf(const std::string& name) override {
        std::string folder = std::filesystem::path(FullPathOf(name)).parent_path().string();
        int fd = RetryOnInterrupt([&] { return ::open(folder.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC); });
        if (fd < 0) throw EOSError(errno, "open " + folder);
        int rc = RetryOnInterrupt([&] { return ::fsync(fd); });
        int error = errno;
        ::close(fd);
        if (rc < 0) throw EOSError(error, "fsync " + folder);
    }
};

TSystemFileLayer systemLayer;
IOsFileLayer* currentLayer = &systemLayer;
} // namespace

IOsFileLayer& OsFileLayer() { return *currentLayer; }

TOsFileLayerScope::TOsFileLayerScope(IOsFileLayer& layer) : previous_(currentLayer) { currentLayer = &layer; }

TOsFileLayerScope::~TOsFileLayerScope() { currentLayer = previous_; }

int TOsFile::Open(const std::string& name, bool writable, TOsDisposition disposition, bool writeThrough) {
    Close();
    return OsFileLayer().Open(name, writable, disposition, writeThrough, handle_);
}
