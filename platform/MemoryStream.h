// Byte streams: the abstract TStream (read, write, seek within a sized body) and TMemoryStream,
// a growable stream held in memory. Not for files: the storage engine has its own atom streams.
#pragma once

#include <cstddef>
#include <cstdint>
#include <span>
#include <vector>

class TStream {
public:
    virtual ~TStream() = default;
    // Reads up to Buffer's size from the position; returns the bytes read.
    virtual size_t Read(std::span<uint8_t> buffer) = 0;
    // Writes all of Data at the position, growing the stream as needed.
    virtual void Write(std::span<const uint8_t> data) = 0;
    virtual uint64_t Size() const = 0;
    virtual void SetSize(uint64_t size) = 0;
    virtual uint64_t Position() const = 0;
    // Any position is allowed; reading past the end gives nothing, writing there fills with 0.
    virtual void Seek(uint64_t position) = 0;

    // The whole stream from position 0, leaving the position at the end.
    std::vector<uint8_t> ReadAll();
    // Reads exactly Buffer's size or raises EReadError "Stream read error".
    void ReadBuffer(std::span<uint8_t> buffer);
};

class TMemoryStream : public TStream {
public:
    TMemoryStream() = default;
    explicit TMemoryStream(std::vector<uint8_t> bytes) : FBytes(std::move(bytes)) {}

    size_t Read(std::span<uint8_t> buffer) override;
    void Write(std::span<const uint8_t> data) override;
    uint64_t Size() const override { return FBytes.size(); }
    void SetSize(uint64_t size) override;
    uint64_t Position() const override { return FPosition; }
    void Seek(uint64_t position) override { FPosition = position; }

    const std::vector<uint8_t>& Bytes() const { return FBytes; }
    void Clear() {
        FBytes.clear();
        FPosition = 0;
    }

private:
    std::vector<uint8_t> FBytes;
    uint64_t FPosition = 0;
};
