// SPDX-License-Identifier: GPL-3.0-or-later
#pragma once

// Real-time scheduling for the threads that carry MIDI (capture, the engines, paced writing, the
// provider), asked for once as each thread starts, and what each got, for the About box and the
// headless program to tell.

#include <chrono>
#include <cstdint>
#include <mutex>
#include <optional>
#include <pthread.h>
#include <string>
#include <string_view>
#include <sys/resource.h>
#include <utility>
#include <vector>

namespace kestrel {

// The priority the threads ask for: above desktop work, below the kernel's own interrupt threads
// and audio servers, which ask for more.
inline constexpr int kRealtimePriority = 10;

// How a thread came to run in real time.
enum class RealtimeWay : std::uint8_t {
  None,   // it runs under the normal policy; RealtimeOutcome::reason says why
  Direct, // the kernel granted SCHED_FIFO (root, CAP_SYS_NICE or RLIMIT_RTPRIO)
  RtKit,  // RTKit, the system bus's real-time broker, made it real-time
};

struct RealtimeOutcome {
  RealtimeWay way = RealtimeWay::None;
  int priority = 0;   // the real-time priority granted, 0 with RealtimeWay::None
  std::string reason; // why not, with RealtimeWay::None
};

// The report in two parts, so that a window can translate the fixed headline ("Engine threads run
// in real time") and append the details (the way, the priority, a refusal's words) as they are.
struct RealtimeSummary {
  std::string headline;
  std::string details; // empty, or " (...)" to append to the headline
  [[nodiscard]] std::string Text() const { return headline + details; }
};

// Keeps the latest outcome of each thread by its name. Any thread may call any member; each call
// takes a short lock and never waits otherwise.
class RealtimeLedger {
public:
  void Record(std::string_view thread, RealtimeOutcome outcome);
  [[nodiscard]] std::optional<RealtimeOutcome> Of(std::string_view thread) const;
  // Every thread recorded with its latest outcome, in the order they first asked.
  [[nodiscard]] std::vector<std::pair<std::string, RealtimeOutcome>> Threads() const;
  // One line over every thread recorded: all in real time (which way, which priority), none (the
  // reasons), or some (the others, each with its reason); or that no thread has asked yet.
  [[nodiscard]] RealtimeSummary Summary() const;

private:
  mutable std::mutex lock_;
  std::vector<std::pair<std::string, RealtimeOutcome>> threads_;
};

// The process's ledger, into which AskForRealtime records.
[[nodiscard]] RealtimeLedger& ProcessRealtimeLedger() noexcept;
// ProcessRealtimeLedger().Summary().Text(): "Engine threads run in real time (RTKit, priority 10)".
[[nodiscard]] std::string RealtimeReport();

// Asks real-time scheduling for the calling thread and records the outcome under `thread` (its
// name). First SCHED_FIFO directly; when the kernel refuses (users who are neither root nor in a
// real-time group), RTKit over the system bus, which may take up to half a second: call it once
// as the thread starts, never on an event's path. A refusal is no error: the thread then runs
// normally. With KESTREL_NO_REALTIME set (to anything but empty or 0) nothing is asked, so that
// benchmarks can compare.
RealtimeOutcome AskForRealtime(std::string_view thread) noexcept;

// The RLIMIT_RTTIME to set before asking RTKit: it grants only to processes whose hard limit is at
// most its RTTimeUSecMax, the time a real-time thread may run without blocking before the kernel
// stops it. Never raises a limit already lower.
[[nodiscard]] rlimit RtTimeLimitFor(const rlimit& current, std::int64_t rtTimeUSecMax) noexcept;
// The priority to ask RTKit for: `wanted`, at most its MaxRealtimePriority; 0 when it allows none.
[[nodiscard]] int RtKitPriority(int wanted, std::int32_t maxRealtimePriority) noexcept;
// False when built without a D-Bus client: a thread refused SCHED_FIFO then runs normally.
[[nodiscard]] bool RtKitBuiltIn() noexcept;

// ---- never long without blocking
//
// A thread under a real-time policy that runs RLIMIT_RTTIME without blocking gets SIGXCPU at the
// soft limit and SIGKILL at the hard one, and RTKit sets both to its maximum (200 ms): a thread
// that something outside keeps busy (a flood of datagrams, a program flooding a port) would take
// the whole program with it. So the engine threads work in slices and rest between them, the soft
// limit is kept below the hard one, and a thread that reaches it anyway leaves real time instead
// of being killed.

// How long a thread runs without blocking before RestWhenBusy makes it rest, and how long it rests.
inline constexpr std::chrono::microseconds kBusySlice{4000};
inline constexpr int kRestMs = 1;

// Called once per round of work in the loop of a thread that carries MIDI. When the calling thread
// has run kBusySlice or longer without blocking, it blocks for kRestMs (or until `wakeFd`, unless
// -1, is readable) and true is returned; otherwise false, at once. Nothing is read meanwhile, so
// nothing is reordered: what waits is taken after the rest. Costs a clock read, and a getrusage
// once per slice; never allocates.
bool RestWhenBusy(int wakeFd = -1) noexcept;

// The RLIMIT_RTTIME a thread of ours runs under once it has real time: the soft limit below the
// hard one (half of it), so that SIGXCPU comes first. An unlimited soft limit (no watchdog) stays.
[[nodiscard]] rlimit SoftRtTimeBelowHard(const rlimit& current) noexcept;

// Threads of ours that ran their soft RLIMIT_RTTIME without blocking and were put back under the
// normal policy (SCHED_OTHER) on SIGXCPU, by name, since the last call; each is recorded in the
// process's ledger as no longer real-time. The signal handler only sets a flag: this is how the
// window's status tick learns of it, to say so once. Not for the threads that carry MIDI.
[[nodiscard]] std::vector<std::string> TakeThreadsThatLeftRealtime();

// Names a thread as top -H, ps -L, perf and debuggers show it (at most 15 characters).
inline void NameThread(pthread_t thread, const char* name) noexcept { pthread_setname_np(thread, name); }

} // namespace kestrel
