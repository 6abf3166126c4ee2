// A multi-reader/single-writer lock for objects shared between threads. Readers share the
// object, a writer excludes everybody else. Unlike std::shared_mutex it is re-entrant for
// the thread that holds it: a reader may read again, a writer may write again and may also
// take read holds, and a reader may ask for write access (its read holds are set aside while
// it waits, so two readers asking at once cannot lock each other out; another writer may
// therefore run in between).
#pragma once

#include <condition_variable>
#include <mutex>
#include <thread>
#include <unordered_map>

namespace qb {

class TzrMultiReadExclusiveWriteSynchronizer {
public:
    TzrMultiReadExclusiveWriteSynchronizer() = default;
    TzrMultiReadExclusiveWriteSynchronizer(const TzrMultiReadExclusiveWriteSynchronizer&) = delete;
    TzrMultiReadExclusiveWriteSynchronizer& operator=(const TzrMultiReadExclusiveWriteSynchronizer&) = delete;

    void BeginRead();
    void EndRead();
    // Returns true when no other thread held the write access between the call and the
    // moment it was granted (always true unless the caller had read holds to set aside).
    bool BeginWrite();
    void EndWrite();

    // For checks and tests: holds of the calling thread.
    int ReadDepthOfThisThread() const;
    bool IsWriterThisThread() const;

private:
    mutable std::mutex Lock;
    std::condition_variable Changed;
    std::unordered_map<std::thread::id, int> ReadDepth;  // read holds per thread
    int ActiveReaders = 0;        // threads with read holds that count against writers
    std::thread::id Writer;       // the writing thread, or none
    int WriteDepth = 0;
    int WaitingWriters = 0;
    unsigned WriteGeneration = 0;  // counts granted write accesses
};

}  // namespace qb
