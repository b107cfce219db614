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

std::array<TTickTimer*, StorageTimerCount> StorageTimers{};

namespace {
std::unique_ptr<TTimerManager>& TimerManager() {
    static std::unique_ptr<TTimerManager> manager;
    return manager;
}
} // namespace

TTickTimer* StorageTimer(int number) {
    if (number < 0 || number >= StorageTimerCount) return nullptr;
    return StorageTimers[size_t(number)];
}

void StartStorageTimers() {
    std::unique_ptr<TTimerManager>& manager = TimerManager();
    if (manager) return;
    manager = std::make_unique<TTimerManager>();
    for (auto& timer : StorageTimers) timer = new TTickTimer(manager.get());
}

void StopStorageTimers() {
    StorageTimers.fill(nullptr);
    TimerManager().reset();
}
