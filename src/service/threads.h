// Thread set-up shared by every worker thread of the service.
#pragma once

namespace vel {

// Names the calling thread (at most 15 characters are kept) and blocks SIGINT, SIGQUIT and
// SIGTERM in it, so that those signals always reach the main thread, which is the one that
// turns them into an orderly stop; no worker's blocking call is ever interrupted by them.
void threadInit(const char* name);

// Sleeps for `ms` milliseconds, resuming after interruptions.
void sleepMs(long ms);

}  // namespace vel
