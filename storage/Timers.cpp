// The tick timers and their manager.
#include "storage/Timers.h"

#include "platform/Clock.h"

#include <algorithm>
#include <array>

TSSTimer::TSSTimer(TTimerManager* manager) : Manager(manager) {
    if (Manager) Manager->Register(this);
}

TSSTimer::~TSSTimer() {
    if (Manager && !Manager->Destroying) Manager->Unregister(this);
}

void TTickTimer::Start() {
    ++Count;
    if (RunDepth++ == 0 && PauseDepth <= 0) Elapsed -= int32_t(GetTickCount());
}

void TTickTimer::Stop() {
    if (RunDepth-- == 1 && PauseDepth <= 0) Elapsed += int32_t(GetTickCount());
}

void TTickTimer::Pause() {
    if (PauseDepth++ == 0 && RunDepth > 0) Elapsed += int32_t(GetTickCount());
}

void TTickTimer::Resume() {
    if (PauseDepth-- == 1 && RunDepth > 0) Elapsed -= int32_t(GetTickCount());
}

void TTickTimer::Reset() { Count = PauseDepth = RunDepth = Elapsed = 0; }

TTimerManager::~TTimerManager() {
    Destroying = true;
    for (TSSTimer* timer : timers_) delete timer;
}

void TTimerManager::Register(TSSTimer* timer) { timers_.push_back(timer); }

void TTimerManager::Unregister(TSSTimer* timer) { std::erase(timers_, timer); }

namespace {
struct TStorageTimers {
    std::unique_ptr<TTimerManager> Manager;
    std::array<TTickTimer*, StorageTimerCount> Timers{};
};
TStorageTimers& Timers() {
    static TStorageTimers timers;
    return timers;
}
} // namespace

TTickTimer* StorageTimer(int number) {
    if (number < 0 || number >= StorageTimerCount) return nullptr;
    return Timers().Timers[size_t(number)];
}

void StartStorageTimers() {
    TStorageTimers& t = Timers();
    if (t.Manager) return;
    t.Manager = std::make_unique<TTimerManager>();
    for (auto& timer : t.Timers) timer = new TTickTimer(t.Manager.get());
}

void StopStorageTimers() {
    TStorageTimers& t = Timers();
    t.Timers.fill(nullptr);
    t.Manager.reset();
}
