// Shared pieces of the storage engine: error texts, CRC-32, the tick timers, the read-write lock.
#include "storage/Crc32.h"
#include "storage/KVZError.h"
#include "storage/ReadWriteLock.h"
#include "storage/Timers.h"

#include "platform/Clock.h"

#include <gtest/gtest.h>

#include <atomic>
#include <thread>
#include <vector>

TEST(Support, ErrorsCarryCodeAndFormattedText) {
    try {
        throw EKVZError::CreateFmt(12, OstraMsg::EntryCrcFailed, "a.ostra", 0xABCu);
    } catch (const Exception& e) {
        EXPECT_EQ(e.Message(), "a.ostra: Atom table entry ($00000ABC) CRC check failed");
        EXPECT_EQ(dynamic_cast<const EKVZError&>(e).Code, 12);
    }
}

TEST(Support, Crc32StartsAtZeroWithoutInversion) {
    EXPECT_EQ(CRC32Of(std::string_view("abc")), 0xCA6598D0u);
    EXPECT_EQ(CRC32Of(std::string_view("\x01", 1)), 0x77073096u);
    EXPECT_EQ(CRC32Of(std::string_view("\0\0\0\0", 4)), 0u);
}

// Inputs of sixteen bytes and more are folded, short and long ones each their own way: every
// length and split must give the bit-by-bit result.
TEST(Support, Crc32OfLongAndSplitInputsMatchesTheBitwiseDefinition) {
    auto bitwise = [](std::span<const uint8_t> bytes) {
        uint32_t c = 0;
        for (uint8_t b : bytes) {
            c ^= b;
            for (int k = 0; k < 8; ++k) c = (c & 1) ? 0xEDB88320u ^ (c >> 1) : c >> 1;
        }
        return c;
    };
    std::vector<uint8_t> bytes(700);
    for (size_t i = 0; i < bytes.size(); ++i) bytes[i] = uint8_t(i * 37 + 11 + (i >> 8));
    for (size_t length = 0; length + 3 <= bytes.size(); ++length) {
        std::span<const uint8_t> part(bytes.data() + length % 4, length);
        ASSERT_EQ(CRC32Of(part), bitwise(part)) << length;
        uint32_t split = 0;
        CRC32Update(split, part.first(length / 3));
        CRC32Update(split, part.subspan(length / 3));
        ASSERT_EQ(split, bitwise(part)) << length;
    }
}

TEST(Support, NestedTimerStartsCountOnceAndPausesAreLeftOut) {
    TTimerManager manager;
    auto* timer = new TTickTimer(&manager); // owned by the manager
    timer->Start();
    timer->Start();
    SleepMilliseconds(20);
    timer->Pause();
    SleepMilliseconds(400); // far longer than a loaded machine stretches the 20 ms run
    timer->Resume();
    timer->Stop();
    EXPECT_EQ(timer->RunDepth, 1);
    timer->Stop();
    EXPECT_EQ(timer->Count, 2);
    EXPECT_GE(timer->Elapsed, 15);
    EXPECT_LT(timer->Elapsed, 400);
    timer->Reset();
    EXPECT_EQ(timer->Elapsed, 0);
}

TEST(Support, StorageTimersExistOnlyBetweenStartAndStop) {
    StopStorageTimers();
    EXPECT_EQ(StorageTimer(0), nullptr);
    StartStorageTimers();
    ASSERT_NE(StorageTimer(46), nullptr);
    EXPECT_EQ(StorageTimer(47), nullptr);
    { TTimedScope scope(46); }
    EXPECT_EQ(StorageTimer(46)->Count, 1);
    StopStorageTimers();
    EXPECT_EQ(StorageTimer(46), nullptr);
}

TEST(Support, WriterWaitsForReadersAndReadersMayNest) {
    TReadWriteLock lock;
    lock.BeginRead();
    lock.BeginRead();
    lock.EndRead();
    std::atomic<bool> written{false};
    std::thread writer([&] {
        lock.BeginWrite();
        written = true;
        lock.EndWrite();
    });
    SleepMilliseconds(30);
    EXPECT_FALSE(written);
    lock.EndRead();
    writer.join();
    EXPECT_TRUE(written);
    // The writer may take the read lock and the write lock again.
    lock.BeginWrite();
    lock.BeginRead();
    lock.EndRead();
    lock.BeginWrite();
    lock.EndWrite();
    lock.EndWrite();
}
