#pragma once

#include <pthread.h>

namespace kestrel {

// Asks for real-time scheduling for a MIDI or network thread, so that it does not wait behind
// desktop work. Users without the rights are refused, and the thread then runs normally: that is
// not an error.
inline void AskForRealtime(pthread_t thread) noexcept {
  sched_param param{};
  param.sched_priority = 10;
  pthread_setschedparam(thread, SCHED_FIFO, &param);
}

// Names a thread as top -H, ps -L, perf and debuggers show it (at most 15 characters).
inline void NameThread(pthread_t thread, const char* name) noexcept { pthread_setname_np(thread, name); }

} // namespace kestrel
