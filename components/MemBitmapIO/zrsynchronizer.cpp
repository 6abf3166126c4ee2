#include "components/MemBitmapIO/zrsynchronizer.h"

#include <stdexcept>

namespace qb {

void TzrMultiReadExclusiveWriteSynchronizer::BeginRead() {
    const std::thread::id self = std::this_thread::get_id();
    std::unique_lock<std::mutex> lock(Lock);
    if (Writer == self) {
        // A writer may read: the read hold nests inside its write access.
        ++ReadDepth[self];
        return;
    }
    auto it = ReadDepth.find(self);
    if (it != ReadDepth.end() && it->second > 0) {
        // Re-entrant read: never waits, not even behind a waiting writer (that would
        // deadlock the writer, which waits for this thread's first hold to end).
        ++it->second;
        return;
    }
    // A new reader lets waiting writers go first, so that a stream of readers cannot
    // starve them.
    Changed.wait(lock, [&] { return WriteDepth == 0 && WaitingWriters == 0; });
    ++ReadDepth[self];
    ++ActiveReaders;
}

void TzrMultiReadExclusiveWriteSynchronizer::EndRead() {
    const std::thread::id self = std::this_thread::get_id();
    std::unique_lock<std::mutex> lock(Lock);
    auto it = ReadDepth.find(self);
    if (it == ReadDepth.end() || it->second <= 0)
        throw std::logic_error("Internal error: EndRead without BeginRead");
    if (--it->second == 0) {
        ReadDepth.erase(it);
        // Read holds taken while writing never counted against other writers.
        if (Writer != self) {
            --ActiveReaders;
            if (ActiveReaders == 0) {
                lock.unlock();
                Changed.notify_all();
            }
        }
    }
}

bool TzrMultiReadExclusiveWriteSynchronizer::BeginWrite() {
    const std::thread::id self = std::this_thread::get_id();
    std::unique_lock<std::mutex> lock(Lock);
    if (Writer == self) {
        ++WriteDepth;
        return true;
    }
    // A reader asking for write access sets its read holds aside while it waits: they stop
    // counting against writers and are restored (as holds nested in the write access) when
    // the access is granted.
    auto it = ReadDepth.find(self);
    const bool wasReader = it != ReadDepth.end() && it->second > 0;
    if (wasReader) {
        --ActiveReaders;
        if (ActiveReaders == 0)
            Changed.notify_all();
    }
    const unsigned generation = WriteGeneration;
    ++WaitingWriters;
    Changed.wait(lock, [&] { return WriteDepth == 0 && ActiveReaders == 0; });
    --WaitingWriters;
    Writer = self;
    WriteDepth = 1;
    ++WriteGeneration;
    return !wasReader || WriteGeneration == generation + 1;
}

void TzrMultiReadExclusiveWriteSynchronizer::EndWrite() {
    const std::thread::id self = std::this_thread::get_id();
    std::unique_lock<std::mutex> lock(Lock);
    if (Writer != self || WriteDepth <= 0)
        throw std::logic_error("Internal error: EndWrite without BeginWrite");
    if (--WriteDepth > 0)
        return;
    Writer = std::thread::id();
    auto it = ReadDepth.find(self);
    if (it != ReadDepth.end() && it->second > 0) {
        // The thread still reads (it took read holds before or while writing): it goes on
        // as a reader.
        ++ActiveReaders;
    }
    lock.unlock();
    Changed.notify_all();
}

int TzrMultiReadExclusiveWriteSynchronizer::ReadDepthOfThisThread() const {
    std::lock_guard<std::mutex> lock(Lock);
    auto it = ReadDepth.find(std::this_thread::get_id());
    return it == ReadDepth.end() ? 0 : it->second;
}

bool TzrMultiReadExclusiveWriteSynchronizer::IsWriterThisThread() const {
    std::lock_guard<std::mutex> lock(Lock);
    return Writer == std::this_thread::get_id() && WriteDepth > 0;
}

}  // namespace qb
