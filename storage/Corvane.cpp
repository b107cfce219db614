// The atom address's byte form and the atom stream over an open atom.
#include "storage/Corvane.h"

#include "platform/ByteOrder.h"

#include <cstring>
#include <limits>

namespace {
constexpr int64_t MaxDataOffset = std::numeric_limits<uint32_t>::max();
} // namespace

std::array<uint8_t, TAtomAddress::ByteSize> TAtomAddress::Bytes() const {
    std::array<uint8_t, ByteSize> out{};
    auto guid = StorageID.Bytes();
    std::memcpy(out.data(), guid.data(), TGUID::ByteSize);
    PutLE32(out.data() + 16, Handle);
    PutLE32(out.data() + 20, Reserved);
    return out;
}

TAtomAddress TAtomAddress::FromBytes(std::span<const uint8_t> bytes) {
    if (bytes.size() < ByteSize) throw EKVZError(OstraCode::InvalidAtomAddress, OstraMsg::InvalidAtomAddress);
    TAtomAddress address;
    address.StorageID = TGUID::FromBytes(bytes.first(TGUID::ByteSize));
    address.Handle = GetLE32(bytes.data() + 16);
    address.Reserved = GetLE32(bytes.data() + 20);
    return address;
}

size_t TAtomStream::Read(std::span<uint8_t> Buffer) {
    // A position outside the data range reads nothing, as a position past the end does.
    if (FPosition < 0 || FPosition > MaxDataOffset) return 0;
    uint32_t count = OwnerAtom.Read(uint32_t(FPosition), Buffer);
    FPosition += count;
    return count;
}

void TAtomStream::Write(std::span<const uint8_t> Data) {
    if (FPosition < 0 || FPosition + int64_t(Data.size()) > MaxDataOffset)
        throw EKVZError(OstraCode::FileIo, OstraMsg::FileWriteError);
    OwnerAtom.Write(uint32_t(FPosition), Data);
    FPosition += int64_t(Data.size());
}

int64_t TAtomStream::Seek(int64_t Offset, TSeekOrigin Origin) {
    switch (Origin) {
    case TSeekOrigin::Beginning: FPosition = Offset; break;
    case TSeekOrigin::Current: FPosition += Offset; break;
    case TSeekOrigin::End: FPosition = Offset + int64_t(OwnerAtom.GetDataSize()); break;
    }
    return FPosition;
}

void TAtomStream::SetSize(uint64_t NewSize) {
    if (NewSize > uint64_t(MaxDataOffset)) throw EKVZError(OstraCode::FileIo, OstraMsg::FileWriteError);
    OwnerAtom.SetDataSize(uint32_t(NewSize));
}

uint64_t TAtomStream::Size() const { return OwnerAtom.GetDataSize(); }
