#pragma once

#include <initializer_list>

// SIGTERM and SIGINT turned into bytes on a pipe that the main thread reads. A signal whose
// disposition is "ignore" would be lost, and a handler may do almost nothing safely, so the
// handler only writes the signal's number; the main thread logs and quits.
namespace sonarill::app {

// Creates the pipe and installs the handler for each signal. Call once, first thing in main,
// before any thread starts, so that every thread has the handler from its start. Returns the
// read end (non-blocking), or -1 when the pipe could not be made and the signals keep their
// default effect.
int installSignalPipe(std::initializer_list<int> signalNumbers);

// Reads one signal number from the read end; 0 when none is waiting.
int readSignal(int readEnd);

} // namespace sonarill::app
