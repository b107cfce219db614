// The simulated disk: files as byte vectors with a log of what was not synced yet.
#include "platform/SimulatedDisk.h"

#include <algorithm>
#include <cerrno>

namespace {
// One change of a file's bytes not yet synced: bytes written, or a new end.
struct TPendingWrite {
    bool IsNewEnd = false;
    uint64_t Position = 0; // or the new end
    std::vector<uint8_t> Bytes;
};

void Put(std::vector<uint8_t>& file, const uint8_t* bytes, size_t count, uint64_t position) {
    size_t end = size_t(position) + count;
    if (file.size() < end) file.resize(end);
    std::copy_n(bytes, count, file.begin() + std::ptrdiff_t(position));
}

void Apply(std::vector<uint8_t>& file, const TPendingWrite& write) {
    if (write.IsNewEnd)
        file.resize(size_t(write.Position));
    else
        Put(file, write.Bytes.data(), write.Bytes.size(), write.Position);
}
} // namespace

struct TSimulatedDisk::TFile {
    std::vector<uint8_t> Current;
    std::vector<uint8_t> Durable;
    std::vector<TPendingWrite> Pending;
    int SharedLocks = 0;
    bool ExclusiveLock = false;

    void Sync() {
        Durable = Current;
        Pending.clear();
    }
};

struct TSimulatedDisk::THandle final : IOsFileHandle {
    THandle(TSimulatedDisk& disk, std::shared_ptr<TFile> file, bool writable, bool writeThrough)
        : Disk(disk), File(std::move(file)), Generation(disk.generation_), Writable(writable),
          WriteThrough(writeThrough) {}

    ~THandle() override {
        if (Generation != Disk.generation_) return; // the locks went with the power
        if (Writable)
            File->ExclusiveLock = false;
        else
            --File->SharedLocks;
    }

    void CheckAlive(const char* call) const {
        if (Generation != Disk.generation_ || Disk.cut_) throw EOSError(EIO, call);
    }

    size_t ReadAt(std::span<uint8_t> buffer, uint64_t position) override {
        CheckAlive("pread");
        Disk.CountRead();
        const auto& bytes = File->Current;
        if (position >= bytes.size()) return 0;
        size_t count = std::min<size_t>(buffer.size(), size_t(bytes.size() - position));
        std::copy_n(bytes.begin() + std::ptrdiff_t(position), count, buffer.begin());
        return count;
    }

    size_t WriteAt(std::span<const uint8_t> bytes, uint64_t position) override {
        CheckAlive("pwrite");
        if (!Writable) throw EOSError(EBADF, "pwrite");
        Disk.Step("pwrite");
        Disk.bytesWritten_ += bytes.size();
        TPendingWrite write{false, position, {bytes.begin(), bytes.end()}};
        Apply(File->Current, write);
        File->Pending.push_back(std::move(write));
        if (WriteThrough) File->Sync();
        return bytes.size();
    }

    void SetEnd(uint64_t length) override {
        CheckAlive("ftruncate");
        if (!Writable) throw EOSError(EBADF, "ftruncate");
        Disk.Step("ftruncate");
        TPendingWrite newEnd{true, length, {}};
        Apply(File->Current, newEnd);
        File->Pending.push_back(std::move(newEnd));
        if (WriteThrough) File->Sync();
    }

    uint64_t Size() override {
        CheckAlive("fstat");
        return File->Current.size();
    }

    void Sync() override {
        CheckAlive("fsync");
        Disk.Step("fsync");
        File->Sync();
    }

    TSimulatedDisk& Disk;
    std::shared_ptr<TFile> File;
    uint64_t Generation;
    bool Writable;
    bool WriteThrough;
};

TSimulatedDisk::TSimulatedDisk(uint64_t seed) : random_(seed) {}

TSimulatedDisk::~TSimulatedDisk() = default;

void TSimulatedDisk::Step(const char* call) {
    if (cut_) throw EOSError(EIO, call);
    ++steps_;
    if (cutAt_ != 0 && steps_ >= cutAt_) {
        cut_ = true;
        throw EOSError(EIO, call);
    }
    if (steps_ == failAt_) throw EOSError(failError_, call);
}

void TSimulatedDisk::CountRead() {
    if (++reads_ == failReadAt_) throw EOSError(failReadError_, "pread");
}

void TSimulatedDisk::FailReadAt(uint64_t read, int error) {
    failReadAt_ = read;
    failReadError_ = error;
}

void TSimulatedDisk::FailAt(uint64_t step, int error) {
    failAt_ = step;
    failError_ = error;
}

void TSimulatedDisk::CutAt(uint64_t step) { cutAt_ = step; }

void TSimulatedDisk::Changed(std::string name, std::shared_ptr<TFile> file) {
    if (file)
        names_[name] = file;
    else
        names_.erase(name);
    nameChanges_.push_back({std::move(name), std::move(file), {}});
}

void TSimulatedDisk::Replay(const TNameChange& change, std::map<std::string, std::shared_ptr<TFile>>& names) {
    if (change.RenamedFrom.empty()) {
        if (change.File)
            names[change.Name] = change.File;
        else
            names.erase(change.Name);
        return;
    }
    auto from = names.find(change.RenamedFrom);
    if (from == names.end() || names.count(change.Name)) return;
    names[change.Name] = from->second;
    names.erase(from);
}

int TSimulatedDisk::Open(const std::string& name, bool writable, TOsDisposition disposition, bool writeThrough,
                         std::unique_ptr<IOsFileHandle>& handle) {
    if (cut_) return EIO;
    auto found = names_.find(name);
    bool exists = found != names_.end();
    if (!exists && disposition == TOsDisposition::OpenExisting) return ENOENT;
    if (exists && disposition == TOsDisposition::CreateNew) return EEXIST;
    if (!writable && !exists) return ENOENT;
    std::shared_ptr<TFile> file = exists ? found->second : std::make_shared<TFile>();
    if (file->ExclusiveLock || (writable && file->SharedLocks > 0)) return EWOULDBLOCK;
    try {
        if (!exists) {
            Step("open");
            Changed(name, file);
        }
        auto opened = std::make_unique<THandle>(*this, file, writable, writeThrough);
        if (writable)
            file->ExclusiveLock = true;
        else
            ++file->SharedLocks;
        if (disposition == TOsDisposition::CreateAlways && !file->Current.empty()) opened->SetEnd(0);
        handle = std::move(opened);
    } catch (const EOSError& error) {
        return error.Code;
    }
    return 0;
}

bool TSimulatedDisk::Exists(const std::string& name) { return !cut_ && names_.count(name) != 0; }

void TSimulatedDisk::Remove(const std::string& name) {
    Step("unlink");
    if (names_.count(name)) Changed(name, nullptr);
}

bool TSimulatedDisk::RenameNoReplace(const std::string& from, const std::string& to) {
    Step("rename");
    auto found = names_.find(from);
    if (found == names_.end()) throw EOSError(ENOENT, "rename");
    if (names_.count(to)) return false;
    // One change on the disk: both names move together or not at all.
    TNameChange rename{to, found->second, from};
    Replay(rename, names_);
    nameChanges_.push_back(std::move(rename));
    return true;
}

void TSimulatedDisk::SyncFolderOf(const std::string&) {
    Step("fsync folder");
    durable_ = names_;
    nameChanges_.clear();
}

// Each sector of an unsynced write reaches the disk or not, independently of the others.
void TSimulatedDisk::Survive(TFile& file) {
    for (const TPendingWrite& write : file.Pending) {
        if (write.IsNewEnd) {
            if (Keeps()) Apply(file.Durable, write);
            continue;
        }
        for (size_t done = 0; done < write.Bytes.size();) {
            uint64_t at = write.Position + done;
            size_t piece = std::min<size_t>(write.Bytes.size() - done, size_t(SectorSize - at % SectorSize));
            if (Keeps()) Put(file.Durable, write.Bytes.data() + done, piece, at);
            done += piece;
        }
    }
    file.Current = file.Durable;
    file.Pending.clear();
    file.SharedLocks = 0;
    file.ExclusiveLock = false;
}

void TSimulatedDisk::PowerCut() {
    keepShare_ = std::uniform_real_distribution<double>(0, 1)(random_);
    std::map<std::string, std::shared_ptr<TFile>> names = durable_;
    for (const TNameChange& change : nameChanges_)
        if (Keeps()) Replay(change, names);
    std::vector<TFile*> survived;
    for (auto& [name, file] : names)
        if (std::find(survived.begin(), survived.end(), file.get()) == survived.end()) survived.push_back(file.get());
    for (TFile* file : survived) Survive(*file);
    names_ = durable_ = std::move(names);
    nameChanges_.clear();
    ++generation_;
    cut_ = false;
    cutAt_ = failAt_ = failReadAt_ = 0;
}

std::vector<uint8_t> TSimulatedDisk::Contents(const std::string& name) const {
    auto found = names_.find(name);
    return found == names_.end() ? std::vector<uint8_t>() : found->second->Current;
}

void TSimulatedDisk::SetContents(const std::string& name, std::vector<uint8_t> bytes) {
    auto file = std::make_shared<TFile>();
    file->Current = file->Durable = std::move(bytes);
    names_[name] = file;
    durable_[name] = file;
}
