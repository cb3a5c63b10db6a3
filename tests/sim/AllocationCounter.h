#pragma once

#include <cstddef>

// Proves that a real-time path does not touch the heap: while a counter is alive, every
// operator new on its thread is counted. The test executable that links AllocationCounter.cpp
// replaces the global operator new and delete with malloc and free for that.
namespace sonarill::testing {

class AllocationCounter {
public:
    AllocationCounter();
    ~AllocationCounter();
    AllocationCounter(const AllocationCounter&) = delete;
    AllocationCounter& operator=(const AllocationCounter&) = delete;

    std::size_t count() const { return count_; }

private:
    std::size_t count_ = 0;
    std::size_t* previous_;
};

} // namespace sonarill::testing
