// Tick timers with which the storage code measures its operations: nesting-aware stopwatches
// over the millisecond tick counter, 47 of them, numbered by the operation they time.
// Nothing reads the totals; they exist for profiling sessions.
#pragma once

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

// The storage engine's timers; created by StartStorageTimers, freed by StopStorageTimers.
// Before and after, StorageTimer() answers nullptr and the operations below do nothing.
TTickTimer* StorageTimer(int number);
void StartStorageTimers();
void StopStorageTimers();

// Every operation on a timer reference that is none does nothing.
inline void TimerStart(TTickTimer* t) { if (t) t->Start(); }
inline void TimerStop(TTickTimer* t) { if (t) t->Stop(); }

// Times a scope with timer `number`.
class TTimedScope {
public:
    explicit TTimedScope(int number) : timer_(StorageTimer(number)) { TimerStart(timer_); }
    ~TTimedScope() { TimerStop(timer_); }
    TTimedScope(const TTimedScope&) = delete;
    TTimedScope& operator=(const TTimedScope&) = delete;

private:
    TTickTimer* timer_;
};
