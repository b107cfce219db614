// Positioned file access for the storage engine through one replaceable file layer: the real
// files of the system, or in tests a simulated disk. Open with a share lock, read and write at a
// position, set the end, sync; plus the few whole-file calls a commit needs. No buffering here.
#pragma once

#include "platform/CriticalSection.h"
#include "platform/Exception.h"

#include <cstdint>
#include <memory>
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
    CreateAlways, // create, or empty the file that is there
};

// What of a handle's view a reader may take without a call: the view's bytes [0, Length) at
// Base (nullptr: none), and for a view read in as it is used, a flag per granule of Granule
// bytes, nonzero where read in, with Unfilled the count of the others.
struct TOsViewWindow {
    static constexpr size_t Granule = size_t(64) << 10;
    const uint8_t* Base = nullptr;
    size_t Length = 0;
    const uint8_t* Filled = nullptr;
    size_t Unfilled = 0;

    // The bytes where the view holds them all already: a read within one granule or across two,
    // as atom reads are. Else nullptr (the handle's ViewAt decides).
    const uint8_t* Holding(uint64_t position, size_t size) const {
        if (!Base || position > Length || Length - position < size) return nullptr;
        if (Unfilled != 0) {
            size_t first = size_t(position / Granule), last = size_t((position + size - 1) / Granule);
            if (size == 0 || last - first > 1 || !Filled[first] || !Filled[last]) return nullptr;
        }
        return Base + position;
    }
};

// One open file of a file layer. Every call raises EOSError when the system call fails.
class IOsFileHandle {
public:
    virtual ~IOsFileHandle() = default;
    // Up to buffer.size() bytes; fewer only at the end of the file.
    virtual size_t ReadAt(std::span<uint8_t> buffer, uint64_t position) = 0;
    // The count written: short only when the device is full.
    virtual size_t WriteAt(std::span<const uint8_t> bytes, uint64_t position) = 0;
    virtual void SetEnd(uint64_t length) = 0;
    virtual uint64_t Size() = 0;
    // Returns once what was written has reached the disk.
    virtual void Sync() = 0;
    // The bytes [position, position + size) of the file's view: the file as long as it was
    // when the view was made, writes through this handle showing in it. Nullptr past the view's
    // end, or when the layer has no views or making one failed: the caller reads the file
    // instead. Valid until the next WriteAt, SetEnd or DropView.
    virtual const uint8_t* ViewAt(uint64_t position, size_t size) {
        (void)position;
        (void)size;
        return nullptr;
    }
    // ViewAt without reading anything in: nullptr where the view does not hold all of the bytes
    // yet. For hints, which must cost next to nothing.
    virtual const uint8_t* ViewIfIn(uint64_t position, size_t size) {
        (void)position;
        (void)size;
        return nullptr;
    }
    virtual void DropView() {}
    // Kept up to date by a handle with views; ViewAt answers the same wherever it holds bytes.
    const TOsViewWindow& Window() const { return window_; }

protected:
    TOsViewWindow window_;
};

// The files of the system as the storage sees them. A writable open holds an exclusive lock on
// the file, a read-only one a shared lock, both taken without waiting right after the open.
class IOsFileLayer {
public:
    virtual ~IOsFileLayer() = default;
    // 0 and the handle, or the errno value (EWOULDBLOCK when another open holds a conflicting
    // lock); nothing stays open on failure.
    virtual int Open(const std::string& name, bool writable, TOsDisposition disposition, bool writeThrough,
                     std::unique_ptr<IOsFileHandle>& handle) = 0;
    virtual bool Exists(const std::string& name) = 0;
    // Raises EOSError unless the file is gone afterwards (a missing one is no failure).
    virtual void Remove(const std::string& name) = 0;
    // Renames unless To exists; false when it does. Raises EOSError on other failures.
    virtual bool RenameNoReplace(const std::string& from, const std::string& to) = 0;
    // Makes the names in the file's folder (creations, removals, renames) durable.
    virtual void SyncFolderOf(const std::string& name) = 0;
};

// The layer in use: the system's, unless a test put another in place.
IOsFileLayer& OsFileLayer();

// Puts a layer in place for the life of this object (tests); the previous one comes back after.
class TOsFileLayerScope {
public:
    explicit TOsFileLayerScope(IOsFileLayer& layer);
    ~TOsFileLayerScope();
    TOsFileLayerScope(const TOsFileLayerScope&) = delete;
    TOsFileLayerScope& operator=(const TOsFileLayerScope&) = delete;

private:
    IOsFileLayer* previous_;
};

// One open file of the layer in use. flock-style locks (not fcntl record locks), so that two
// opens in one process exclude each other too.
class TOsFile {
public:
    TOsFile() = default;
    TOsFile(const TOsFile&) = delete;
    TOsFile& operator=(const TOsFile&) = delete;

    // Opens the file; returns 0, or the errno value of the failure (EWOULDBLOCK when another
    // open holds a conflicting lock). Nothing stays open on failure.
    int Open(const std::string& name, bool writable, TOsDisposition disposition, bool writeThrough);
    bool IsOpen() const { return handle_ != nullptr; }
    void Close() { handle_.reset(); }

    // Each raises EOSError when the system call fails.
    size_t ReadAt(std::span<uint8_t> buffer, uint64_t position) { return handle_->ReadAt(buffer, position); }
    size_t WriteAt(std::span<const uint8_t> bytes, uint64_t position) { return handle_->WriteAt(bytes, position); }
    void SetEnd(uint64_t length) { handle_->SetEnd(length); }
    uint64_t Size() { return handle_->Size(); }
    void Sync() { handle_->Sync(); }
    // Every atom read asks: the bytes the view holds already come without a call.
    const uint8_t* ViewAt(uint64_t position, size_t size) {
        if (const uint8_t* at = handle_->Window().Holding(position, size)) return at;
        return handle_->ViewAt(position, size);
    }
    const uint8_t* ViewIfIn(uint64_t position, size_t size) {
        if (const uint8_t* at = handle_->Window().Holding(position, size)) return at;
        return handle_->ViewIfIn(position, size);
    }
    void DropView() { handle_->DropView(); }

private:
    std::unique_ptr<IOsFileHandle> handle_;
};
