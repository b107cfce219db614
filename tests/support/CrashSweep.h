// Crash and failure sweeps on the simulated disk: a workload runs once whole, to learn the file
// after each of its commits, then again once for every changing call it makes, cut there by a
// power loss (or failing there). After each run the file must open and hold exactly the bytes
// of the last commit or of the one before it, with no journal left that still holds a commit.
// A sweep over the reads fails each read in turn. Header-only; tests only.
#pragma once

#include "platform/Clock.h"
#include "platform/SimulatedDisk.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cerrno>
#include <functional>
#include <string>
#include <vector>

class TCrashSweep {
public:
    // Runs the workload; it calls Committed() each time a commit returned.
    using TWorkload = std::function<void(const std::function<void()>& committed)>;
    // Opens the file (rolling back what a crash left) and closes it again.
    using TReopen = std::function<void()>;

    TCrashSweep(std::string fileName, std::vector<uint8_t> initial, TWorkload workload, TReopen reopen)
        : FileName(std::move(fileName)), Initial(std::move(initial)), Workload(std::move(workload)),
          Reopen(std::move(reopen)) {
        SetNowSource([] { return 46000.5; }); // the same header stamps in every run
        Learn();
    }
    ~TCrashSweep() { SetNowSource(nullptr); }

    uint64_t Steps() const { return Ends.empty() ? 0 : TotalSteps; }
    size_t Commits() const { return States.size() - 1; }

    // A power cut at every Stride-th changing call.
    void CutEverywhere(uint64_t stride = 1) {
        for (uint64_t cut = 1; cut <= TotalSteps && !::testing::Test::HasFailure(); cut += stride) {
            TSimulatedDisk disk(cut * 7919);
            disk.SetContents(FileName, Initial);
            disk.CutAt(cut);
            RunCaught(disk);
            disk.PowerCut();
            Check(disk, cut, false, "power cut at call " + std::to_string(cut));
        }
    }

    // The Step-th changing call fails (ENOSPC or EIO by turns) at every step: the workload
    // must be told, and the file reopens with the last commit before the failing one.
    void FailEverywhere(uint64_t stride = 1) {
        for (uint64_t step = 1; step <= TotalSteps && !::testing::Test::HasFailure(); step += stride) {
            TSimulatedDisk disk(step);
            disk.SetContents(FileName, Initial);
            disk.FailAt(step, step % 2 ? ENOSPC : EIO);
            bool told = RunCaught(disk);
            std::string what = "failure at call " + std::to_string(step);
            EXPECT_TRUE(told) << what << " was not reported";
            Check(disk, step, true, what);
        }
    }

    // The Read-th read of the file fails, at every read. A read fails without changing the
    // file, so the work done until then may stand (what the storage level wrote is committed as
    // it is released); but nothing half written may: the file must open and read whole. A
    // failure the workload is not told of must have changed nothing: the run ends as one
    // without it.
    void FailReadsEverywhere(uint64_t stride = 1) {
        for (uint64_t read = 1; read <= TotalReads && !::testing::Test::HasFailure(); read += stride) {
            TSimulatedDisk disk(read);
            disk.SetContents(FileName, Initial);
            disk.FailReadAt(read, EIO);
            if (!RunCaught(disk)) {
                EXPECT_TRUE(disk.Contents(FileName) == States.back())
                    << "failed read " << read << " was passed over, and the run ended elsewhere";
            }
            TOsFileLayerScope scope(disk);
            try {
                Reopen();
            } catch (const std::exception& error) {
                ADD_FAILURE() << "failed read " << read << ": the file does not read whole: " << error.what();
            }
        }
    }

private:
    void Learn() {
        TSimulatedDisk disk(1);
        disk.SetContents(FileName, Initial);
        TOsFileLayerScope scope(disk);
        States = {Initial};
        Ends = {0};
        Workload([&] {
            States.push_back(disk.Contents(FileName));
            Ends.push_back(disk.Steps());
        });
        TotalSteps = disk.Steps();
        TotalReads = disk.Reads();
    }

    // True when the workload raised.
    bool RunCaught(TSimulatedDisk& disk) {
        TOsFileLayerScope scope(disk);
        try {
            Workload([] {});
        } catch (const std::exception&) {
            return true;
        }
        return false;
    }

    // Exact: a failed call leaves no part of its commit standing (a power cut may leave all).
    void Check(TSimulatedDisk& disk, uint64_t step, bool exact, const std::string& what) {
        TOsFileLayerScope scope(disk);
        try {
            Reopen();
        } catch (const std::exception& error) {
            ADD_FAILURE() << what << ": the file does not open: " << error.what();
            return;
        }
        std::vector<uint8_t> journal = disk.Contents(FileName + "-journal");
        journal.resize(std::min<size_t>(journal.size(), 512));
        EXPECT_TRUE(std::all_of(journal.begin(), journal.end(), [](uint8_t b) { return b == 0; }))
            << what << ": a journal with a header is left";
        // The commit under way at that call, and the one before it.
        size_t k = 1;
        while (k < Ends.size() && Ends[k] < step) ++k;
        std::vector<uint8_t> now = disk.Contents(FileName);
        bool whole = k >= States.size() ? now == States.back() : now == States[k - 1] || (now == States[k] && !exact);
        EXPECT_TRUE(whole) << what << ": the file is neither commit " << k - 1 << " nor " << k;
    }

    std::string FileName;
    std::vector<uint8_t> Initial;
    TWorkload Workload;
    TReopen Reopen;
    std::vector<std::vector<uint8_t>> States; // the file after each commit, the start first
    std::vector<uint64_t> Ends;               // the changing calls made when each commit returned
    uint64_t TotalSteps = 0;
    uint64_t TotalReads = 0;
};
