// A file layer in memory for crash tests: it keeps apart what was synced and what was only
// written, and a power cut keeps a random part of the unsynced writes, torn at 512-byte
// sectors, and of the unsynced changes to names. It can also fail a chosen call or read. Not
// for use outside tests: it holds every file in memory.
#pragma once

#include "platform/OsFile.h"

#include <cstdint>
#include <map>
#include <memory>
#include <random>
#include <string>
#include <vector>

class TSimulatedDisk final : public IOsFileLayer {
public:
    static constexpr uint64_t SectorSize = 512;

    explicit TSimulatedDisk(uint64_t seed);
    ~TSimulatedDisk() override;

    int Open(const std::string& name, bool writable, TOsDisposition disposition, bool writeThrough,
             std::unique_ptr<IOsFileHandle>& handle) override;
    bool Exists(const std::string& name) override;
    void Remove(const std::string& name) override;
    bool RenameNoReplace(const std::string& from, const std::string& to) override;
    void SyncFolderOf(const std::string& name) override;

    // Changing calls (writes, truncations, syncs, creations, removals, renames) made so far.
    uint64_t Steps() const { return steps_; }
    // Bytes handed to writes so far, in every file.
    uint64_t BytesWritten() const { return bytesWritten_; }
    // The changing call with this number fails with Error and changes nothing (0: none).
    void FailAt(uint64_t step, int error);
    // Reads (of any file) made so far.
    uint64_t Reads() const { return reads_; }
    // The read with this number fails with error and reads nothing (0: none).
    void FailReadAt(uint64_t read, int error);
    // At the changing call with this number the power goes: that call and every call after it
    // raise EIO and change nothing, until PowerCut (0: never).
    void CutAt(uint64_t step);
    // What survives the power loss becomes the disk's contents: every open handle goes dead
    // (each of its calls raises EIO) and every lock is released.
    void PowerCut();

    // The bytes of a file as the running system sees them; empty when missing.
    std::vector<uint8_t> Contents(const std::string& name) const;
    void SetContents(const std::string& name, std::vector<uint8_t> bytes); // durable at once

    struct TFile;
    struct THandle;

private:
    // One change of the folder not yet synced: a name made or gone, or a rename.
    struct TNameChange {
        std::string Name;
        std::shared_ptr<TFile> File; // null: the name went
        std::string RenamedFrom;     // not empty: Name is the new name of this one
    };
    friend struct THandle;
    void Step(const char* call);
    void CountRead();
    void Changed(std::string name, std::shared_ptr<TFile> file);
    static void Replay(const TNameChange& change, std::map<std::string, std::shared_ptr<TFile>>& names);
    void Survive(TFile& file);
    bool Keeps() { return std::bernoulli_distribution(keepShare_)(random_); }

    std::mt19937_64 random_;
    double keepShare_ = 0.5;
    uint64_t steps_ = 0;
    uint64_t bytesWritten_ = 0;
    uint64_t failAt_ = 0;
    int failError_ = 0;
    uint64_t reads_ = 0;
    uint64_t failReadAt_ = 0;
    int failReadError_ = 0;
    uint64_t cutAt_ = 0;
    bool cut_ = false;
    uint64_t generation_ = 1;
    std::map<std::string, std::shared_ptr<TFile>> names_;   // as the system sees them
    std::map<std::string, std::shared_ptr<TFile>> durable_; // as the disk's folder holds them
    std::vector<TNameChange> nameChanges_;                  // since the last folder sync
};
