// A multi-reader, single-writer lock. A waiting writer holds the entry gate, so new readers
// queue behind it; the writer may re-take the read and write locks it already holds.
#pragma once

#include <condition_variable>
#include <mutex>

class TReadWriteLock {
public:
    void BeginRead();
    void EndRead();
    void BeginWrite();
    void EndWrite();

private:
    std::recursive_mutex entry_;
    std::mutex counter_;
    std::condition_variable_any noReaders_;
    int ReaderCount = 0;
    bool writerWaiting_ = false; // the last reader out wakes it; otherwise nobody listens
};
