// The system's file layer: open(2) with O_CLOEXEC, flock(2), pread/pwrite, fsync, and the
// replaceable pointer to the layer in use.
#include "platform/OsFile.h"

#include "platform/Heap.h"

#include <algorithm>
#include <cerrno>
#include <climits>
#include <cstring>
#include <fcntl.h>
#include <filesystem>
#include <sys/file.h>
#include <sys/mman.h>
#include <sys/stat.h>
#include <unistd.h>
#include <vector>

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
            ssize_t n = ::pread(fd_, buffer.data() + done, buffer.size() - done, off_t(position + done));
            if (n > 0)
                done += size_t(n);
            else if (n == 0)
                break;
            else if (errno != EINTR)
                throw EOSError(errno, "pread");
        }
        return done;
    }

    size_t WriteAt(std::span<const uint8_t> bytes, uint64_t position) override {
        Unfill(position, bytes.size());
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

    const uint8_t* ViewAt(uint64_t position, size_t size) override {
        if (const uint8_t* at = window_.Holding(position, size)) return at;
        return ViewAfterMaking(position, size);
    }

    const uint8_t* ViewIfIn(uint64_t position, size_t size) override {
        if (!view_ || position > viewLength_ || viewLength_ - position < size) return nullptr;
        if (unfilled_ != 0 && size != 0)
            for (size_t g = size_t(position / ViewGranule); g <= (position + size - 1) / ViewGranule; ++g)
                if (!filled_[g]) return nullptr;
        return view_ + position;
    }

    void DropView() override {
        if (reserved_) ::munmap(reserved_, reservedLength_);
        reserved_ = nullptr;
        reservedLength_ = 0;
        view_ = nullptr;
        viewLength_ = 0;
        viewFailed_ = false;
        filled_.clear();
        unfilled_ = 0;
        Publish();
    }

private:
    void Publish() { window_ = {view_, viewLength_, filled_.data(), unfilled_}; }

    // Reading the file through a view saves a system call and a copy per read. The kernel maps
    // the page cache in small pages, and on a virtual machine each costs a fault at its first
    // touch and misses in the translation buffer after. So where the system gives huge pages on
    // advice, the view is a copy of the file in memory on huge pages, read in a granule at a time
    // as it is used; elsewhere, and for files too large to hold a copy of, it is a shared
    // mapping. Failing to make either is no error.
    bool MakeView() {
        if (viewFailed_) return false;
        struct stat info;
        if (::fstat(fd_, &info) < 0 || info.st_size <= 0 || uint64_t(info.st_size) > SIZE_MAX / 2) {
            viewFailed_ = true;
            return false;
        }
        size_t length = size_t(info.st_size);
        if (length <= MostCopied && HugePagesOnAdvice()) {
            size_t spanned = RoundUp(length, HugePageSize);
            void* block = ::mmap(nullptr, spanned + HugePageSize, PROT_READ | PROT_WRITE,
                                 MAP_PRIVATE | MAP_ANONYMOUS | MAP_NORESERVE, -1, 0);
            if (block != MAP_FAILED) {
                reserved_ = block;
                reservedLength_ = spanned + HugePageSize;
                view_ = reinterpret_cast<uint8_t*>(RoundUp(uintptr_t(block), HugePageSize));
                ::madvise(view_, spanned, MADV_HUGEPAGE);
                viewLength_ = length;
                filled_.assign((length + ViewGranule - 1) / ViewGranule, false);
                unfilled_ = filled_.size();
                Publish();
                return true;
            }
        }
        void* mapped = ::mmap(nullptr, length, PROT_READ, MAP_SHARED, fd_, 0);
        if (mapped == MAP_FAILED) {
            viewFailed_ = true;
            return false;
        }
        // Reads here go wherever the atoms lie: read-ahead would bring in the file around them.
        ::madvise(mapped, length, MADV_RANDOM);
        reserved_ = mapped;
        reservedLength_ = length;
        view_ = static_cast<uint8_t*>(mapped);
        viewLength_ = length;
        Publish();
        return true;
    }

    [[gnu::noinline]] const uint8_t* ViewAfterMaking(uint64_t position, size_t size) {
        if (!view_ && !MakeView()) return nullptr;
        if (position > viewLength_ || viewLength_ - position < size) return nullptr;
        if (unfilled_ != 0 && !Fill(position, size)) return nullptr;
        return view_ + position;
    }

    // Reads in the copy's granules under [position, position + size) that are not in yet, each
    // run of them in one read; false when the file no longer holds them all.
    bool Fill(uint64_t position, size_t size) {
        if (size == 0) return true;
        size_t first = size_t(position / ViewGranule), last = size_t((position + size - 1) / ViewGranule);
        for (size_t g = first; g <= last; ++g) {
            if (filled_[g]) continue;
            size_t end = g + 1;
            while (end <= last && !filled_[end]) ++end;
            size_t start = g * ViewGranule, stop = std::min(end * ViewGranule, viewLength_);
            try {
                if (ReadAt(std::span<uint8_t>(view_ + start, stop - start), start) < stop - start) return false;
            } catch (const EOSError&) {
                return false;
            }
            std::fill(filled_.begin() + std::ptrdiff_t(g), filled_.begin() + std::ptrdiff_t(end), true);
            unfilled_ -= end - g;
            Publish();
            g = end - 1;
        }
        return true;
    }

    // The copy's granules a write is about to change are read in again when next used.
    void Unfill(uint64_t position, size_t size) {
        if (filled_.empty() || size == 0 || position >= viewLength_) return;
        size_t first = size_t(position / ViewGranule);
        size_t last = size_t(std::min<uint64_t>(position + size - 1, viewLength_ - 1) / ViewGranule);
        for (size_t g = first; g <= last; ++g) {
            unfilled_ += filled_[g];
            filled_[g] = false;
        }
        Publish();
    }

    static constexpr size_t ViewGranule = TOsViewWindow::Granule;
    static constexpr size_t MostCopied = size_t(256) << 20;
    static constexpr uintptr_t HugePageSize = uintptr_t(2) << 20;
    static uintptr_t RoundUp(uintptr_t value, uintptr_t unit) { return (value + unit - 1) / unit * unit; }

    int fd_;
    void* reserved_ = nullptr; // the mapping, or the copy's address space
    size_t reservedLength_ = 0;
    uint8_t* view_ = nullptr;
    size_t viewLength_ = 0;
    bool viewFailed_ = false;
    std::vector<uint8_t> filled_; // for a copy: which granules are read in
    size_t unfilled_ = 0;
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
