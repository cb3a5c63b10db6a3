#pragma once

// Proof that a real-time path neither allocates, frees, nor takes a pthread mutex or condition
// variable: the program that links RealTimeCounting.cpp replaces the global operator new and
// delete and interposes the pthread calls, and counts each one made on a thread while it is
// marked. Its own executable: replacing operator new weakens the sanitizers' checks of new and
// delete for everything else in a program, and ThreadSanitizer intercepts the same pthread calls.
namespace sonarill::testing::realtime {

struct Counts {
    int allocations = 0, frees = 0, lockCalls = 0;
};

// Marks this thread for as long as it lives.
class Marked {
public:
    Marked();
    ~Marked();
    Marked(const Marked&) = delete;
    Marked& operator=(const Marked&) = delete;
};

Counts counts();
void resetCounts();

} // namespace sonarill::testing::realtime
