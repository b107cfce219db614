// Tick timers with which the storage code measures its operations: nesting-aware stopwatches
// over the millisecond tick counter, 47 of them, numbered by the operation they time.
// Nothing reads the totals; they exist for profiling sessions.
#pragma once

#include <array>
#include <cstdint>
#include <memory>
#include <vector>

class TTimerManager;

class TSSTimer {
public:
    explicit TSSTimer(TTimerManager* manager);
    virtual ~TSSTimer();
    virtual void Reset() = 0;

    TTimerManager* Manager;
};

class TTickTimer : public TSSTimer {
public:
    explicit TTickTimer(TTimerManager* manager) : TSSTimer(manager) {}
    void Start();
    void Stop();
    void Pause();
    void Resume();
    void Reset() override;

    int32_t Count = 0;
    int32_t PauseDepth = 0;
    int32_t RunDepth = 0;
    int32_t Elapsed = 0;
};

// Owns its registered timers; destroying it destroys them.
class TTimerManager {
public:
    TTimerManager() = default;
    TTimerManager(const TTimerManager&) = delete;
    TTimerManager& operator=(const TTimerManager&) = delete;
    ~TTimerManager();

    void Register(TSSTimer* timer);
    void Unregister(TSSTimer* timer);

    bool Destroying = false;

private:
    std::vector<TSSTimer*> timers_;
};

inline constexpr int StorageTimerCount = 47;

// The storage engine's timers; created by StartStorageTimers, freed by StopStorageTimers (the
// engine's start and stop call them). Before and after, StorageTimer() answers nullptr.
TTickTimer* StorageTimer(int number);
extern std::array<TTickTimer*, StorageTimerCount> StorageTimers; // by number, as StorageTimer answers
void StartStorageTimers();
void StopStorageTimers();

// Marks a scope as timed by timer `number`. Nothing reads the totals, and the clock is too dear
// to read around every atom operation, so a scope only counts its starts.
class TTimedScope {
public:
    explicit TTimedScope(int number) {
        TTickTimer* timer = number >= 0 && number < StorageTimerCount ? StorageTimers[size_t(number)] : nullptr;
        if (timer) ++timer->Count;
    }
    TTimedScope(const TTimedScope&) = delete;
    TTimedScope& operator=(const TTimedScope&) = delete;
};
