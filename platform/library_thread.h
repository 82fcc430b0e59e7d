#pragma once

#include <functional>
#include <thread>

namespace tavrel_mmp::platform {

// Starts a thread owned by the library. The thread blocks the asynchronous, process-directed
// signals (SIGINT, SIGTERM, SIGPIPE, SIGCHLD, ...) so that they keep going to the host's
// threads; fault signals stay deliverable. Process-wide set-up that must precede every library
// thread (libcurl's global initialisation) runs first. The thread is detached: the library
// never joins its threads, so a host that exits never waits for one.
// Returns false when the system refuses a new thread.
bool startLibraryThread(std::function<void()> body);

// Whether the calling thread is one of the library's own: work that waits for the library's
// threads cannot wait on one of them.
bool onLibraryThread();

// Runs once per process, before the first library thread starts and before the library's first
// use of OpenSSL (the facade calls it on entry): OpenSSL decides at its first initialisation
// whether to tear itself down at exit, which must not happen under a running transfer. Starts
// no thread.
void ensureProcessSetup();

}  // namespace tavrel_mmp::platform
