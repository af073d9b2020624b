// SPDX-License-Identifier: GPL-3.0-or-later
#pragma once

// What Kestrel dropped (or took for a fault) since the program started, one counter per kind.
// The engine threads count where the loss happens; the window, the headless --stats lines and
// kestrel --status read the counters whenever they like. Counting is one relaxed atomic add: no
// lock, no allocation, nothing that waits, so it is fit for the MIDI and network paths.

#include <array>
#include <atomic>
#include <chrono>
#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>

namespace kestrel {

// Every counter, in the order it is shown: its name in code, its key in the --stats lines and in
// kestrel --status, and its English text in the window. Adding a counter is one line here (and
// its text in the language files).
#define KESTREL_DROP_COUNTERS(X)                                                                                       \
  X(QueueFull, "queue-full", "Records dropped: send queue full")                                                       \
  X(CaptureOverrun, "capture-overruns", "Capture overruns")                                                            \
  X(SendIncomplete, "send-incomplete", "Datagrams not sent whole")                                                     \
  X(Oversized, "oversized", "Datagrams over the size limit")                                                           \
  X(Malformed, "malformed", "Malformed records")                                                                       \
  X(FragmentBreak, "fragment-breaks", "Broken fragment sequences")                                                     \
  X(LongExpired, "long-expired", "Long messages expired unfinished")                                                   \
  X(OutputRefused, "output-refused", "Output writes refused")                                                          \
  X(SecondServer, "second-server", "Datagrams from a second server")                                                   \
  X(TargetUnreachable, "target-unreachable", "Datagrams to a target without route")                                    \
  X(MulticastNotMidi, "multicast-not-midi", "Multicast datagrams that were not MIDI")                                  \
  X(MulticastNotSent, "multicast-not-sent", "Messages too long for a multicast datagram")                              \
  X(EmptyDatagram, "empty-datagrams", "Empty datagrams")                                                               \
  X(EnginePause, "engine-pauses", "Pauses of an engine kept busy without end")                                         \
  X(RealtimeLeft, "realtime-left", "Engine threads that left real time")                                               \
  X(MulticastSendFailed, "multicast-send-failed", "Multicast messages the network did not take")

enum class Drop : std::uint8_t {
#define KESTREL_DROP_ENUM(name, key, label) name,
  KESTREL_DROP_COUNTERS(KESTREL_DROP_ENUM)
#undef KESTREL_DROP_ENUM
};

struct DropName {
  std::string_view key;   // "queue-full": stable, for scripts
  std::string_view label; // "Records dropped: send queue full": English, translated where shown
};

inline constexpr std::array kDropNames{
#define KESTREL_DROP_NAME(name, key, label) DropName{key, label},
    KESTREL_DROP_COUNTERS(KESTREL_DROP_NAME)
#undef KESTREL_DROP_NAME
};

inline constexpr std::size_t kDropKinds = kDropNames.size();

// The counters' values at one moment, in kDropNames' order.
using DropCounts = std::array<std::uint64_t, kDropKinds>;

class DropCounters {
public:
  // The counters start at 0 now; Since() says when.
  DropCounters() noexcept : since_(std::chrono::system_clock::now()) {}
  DropCounters(const DropCounters&) = delete;
  DropCounters& operator=(const DropCounters&) = delete;

  // Any thread, the MIDI and network paths included: one relaxed atomic add.
  void Add(Drop kind, std::uint64_t n = 1) noexcept {
    counts_[static_cast<std::size_t>(kind)].fetch_add(n, std::memory_order_relaxed);
  }

  // Any thread. Each counter is read on its own: a snapshot taken while engines count may hold
  // one counter a step further than another, never a torn value.
  [[nodiscard]] std::uint64_t Get(Drop kind) const noexcept {
    return counts_[static_cast<std::size_t>(kind)].load(std::memory_order_relaxed);
  }
  [[nodiscard]] DropCounts Snapshot() const noexcept;

  // When counting began (the program's start).
  [[nodiscard]] std::chrono::system_clock::time_point Since() const noexcept { return since_; }

private:
  std::array<std::atomic<std::uint64_t>, kDropKinds> counts_{};
  std::chrono::system_clock::time_point since_;
};

// Counts into `counters` when there are any: the engines are also built without them (tests).
inline void CountDrop(DropCounters* counters, Drop kind, std::uint64_t n = 1) noexcept {
  if (counters != nullptr && n != 0) counters->Add(kind, n);
}

// One line for a period of the headless --stats: every counter as key=value, in kDropNames'
// order, then what grew since `before`:
//   stats: queue-full=0 capture-overruns=0 ... second-server=40 | changed: malformed+3 second-server+40
// and "| changed: none" when nothing did. The keys and their order never change, so the line
// can be grepped and cut by field.
[[nodiscard]] std::string DropStatsLine(const DropCounts& now, const DropCounts& before);

} // namespace kestrel
