// Shared pieces of the storage engine: error texts, CRC-32, the tick timers, the read-write lock,
// the handle table.
#include "storage/Crc32.h"
#include "storage/HandleTable.h"
#include "storage/KVZError.h"
#include "storage/ReadWriteLock.h"
#include "storage/Timers.h"

#include "platform/Clock.h"

#include <gtest/gtest.h>

#include <atomic>
#include <map>
#include <random>
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

// Puts, takes and lookups at random against a map, in rounds that grow the table and then empty
// it again, by takes or at once: lookups must find exactly what the map holds, whatever the
// probe runs and the filter that spares most probes have been through.
TEST(Support, HandleTableAgreesWithAMapThroughGrowthAndEmptying) {
    std::mt19937 random(17);
    THandleTable<uint32_t*> table;
    std::map<uint32_t, uint32_t*> model;
    std::vector<uint32_t> values(64);
    auto check = [&](uint32_t handle) {
        auto found = model.find(handle);
        uint32_t** got = table.Find(handle);
        ASSERT_EQ(got != nullptr, found != model.end()) << handle;
        if (got) {
            ASSERT_EQ(*got, found->second) << handle;
        }
    };
    for (int round = 0; round < 12; ++round) {
        // Few handles over a narrow range make long probe runs; many over a wide one grow it.
        uint32_t range = round % 3 == 0 ? 40 : round % 3 == 1 ? 3000 : 1u << 31;
        int steps = round % 3 == 2 ? 4000 : 1500;
        for (int step = 0; step < steps; ++step) {
            uint32_t handle = 1 + random() % range;
            switch (random() % 4) {
            case 0:
            case 1: {
                uint32_t* value = &values[random() % values.size()];
                table.Put(handle, value);
                model[handle] = value;
                break;
            }
            case 2: {
                auto found = model.find(handle);
                ASSERT_EQ(table.Take(handle), found == model.end() ? nullptr : found->second) << handle;
                if (found != model.end()) model.erase(found);
                break;
            }
            default: check(handle);
            }
            ASSERT_EQ(table.Count(), model.size());
        }
        for (const auto& [handle, value] : model) check(handle);
        if (round % 2 == 0) {
            table.Clear();
            model.clear();
        } else {
            while (!model.empty()) {
                ASSERT_EQ(table.Take(model.begin()->first), model.begin()->second);
                model.erase(model.begin());
            }
        }
        for (int probe = 0; probe < 200; ++probe) check(1 + random() % range);
    }
}
