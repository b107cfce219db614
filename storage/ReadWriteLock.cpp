// The read-write lock: an entry gate, a reader count and a "no readers" signal.
#include "storage/ReadWriteLock.h"

void TReadWriteLock::BeginRead() {
    std::lock_guard gate(entry_);
    std::lock_guard count(counter_);
    ++ReaderCount;
}

void TReadWriteLock::EndRead() {
    std::lock_guard count(counter_);
    if (--ReaderCount == 0 && writerWaiting_) noReaders_.notify_all();
}

void TReadWriteLock::BeginWrite() {
    entry_.lock(); // held until EndWrite
    std::unique_lock count(counter_);
    writerWaiting_ = true;
    noReaders_.wait(count, [this] { return ReaderCount == 0; });
    writerWaiting_ = false;
}

void TReadWriteLock::EndWrite() { entry_.unlock(); }
