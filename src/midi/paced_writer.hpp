// SPDX-License-Identifier: GPL-3.0-or-later
#pragma once

// Writing to MIDI ports that must not be written faster than they take, on a thread of its own.
//
// A hardware port (a kernel client with a sound card) takes bytes into a 4 KiB buffer that drains
// at MIDI's wire speed; bytes beyond it are dropped by the kernel without a word. Such a port is
// written no faster than its wire carries, so a 64 KiB dump takes about 20 s. A program's port
// takes events into its reader's input pool, which holds about 56 KB of system-exclusive data
// and refuses what does not fit; a long dump to a program that reads slower than a burst is
// written as the reader makes room. The client engine must not wait that long: every other port
// and every command from the window would wait with it. So long messages, and what follows them
// on the same device, are queued here whole, one queue per device (rows that share a device share
// its wire or its reader, and a long message must not be cut by another row's), and one writer
// thread hands them on as each device makes room.
//
// A reader that takes nothing for 2 s has stalled: what waits for it is dropped and counted, and a
// system-exclusive message it has part of is ended (F7) as soon as it takes anything again. A
// message is never delivered in part otherwise.

#include <alsa/asoundlib.h>

#include <array>
#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstddef>
#include <cstdint>
#include <memory>
#include <mutex>
#include <span>
#include <thread>
#include <vector>

namespace kestrel {
class DropCounters;
}

namespace kestrel::midi {

// How full a hardware port's buffer is, as far as the bytes written and the time passed tell.
class WirePace {
public:
  static constexpr double kWireBytesPerSecond = 3125; // 31250 baud, ten bits a byte
  static constexpr double kHardwareBuffer = 4096;     // the kernel's output buffer of a MIDI port
  using Clock = std::chrono::steady_clock;

  // Bytes that can be written at `now` without overflowing the buffer.
  [[nodiscard]] std::size_t Room(Clock::time_point now) noexcept;
  void Wrote(std::size_t bytes) noexcept { inFlight_ += static_cast<double>(bytes); }
  // When `bytes` will fit, from `now` on.
  [[nodiscard]] Clock::time_point WhenRoomFor(std::size_t bytes, Clock::time_point now) noexcept;

private:
  double inFlight_ = 0; // bytes written and not yet on the wire
  Clock::time_point last_{};
};

class PacedWriter {
public:
  static constexpr int kSlots = 16;
  // Room for the longest message Kestrel carries and what follows it while it is on the wire.
  static constexpr std::size_t kQueueBytes = 65536 + 8192;

  // `seq` must outlive the writer. `directLock` guards alsa-lib's direct writes of long events,
  // which share one buffer in the handle: everyone who makes them on `seq` holds it meanwhile.
  // What is dropped is counted in `drops` too when given.
  PacedWriter(snd_seq_t* seq, std::mutex& directLock, DropCounters* drops = nullptr);
  ~PacedWriter(); // stops the thread; what is still queued is dropped
  PacedWriter(const PacedWriter&) = delete;
  PacedWriter& operator=(const PacedWriter&) = delete;

  enum class Pace { Wire, Reader };
  // The slot starts writing to `device` from our port `port`, at the pace of a hardware port's
  // wire or of a program's reader; a device that another slot writes to already is shared with
  // it. Makes the device's queue (the only allocation). Client engine thread.
  void Open(int slot, int port, snd_seq_addr_t device, Pace pace = Pace::Wire);
  // The slot stops. When no open slot writes to its device any more, the backlog that waits for
  // it is dropped, except a short one, but the silence marked last (MarkSilence) still goes, and
  // a system-exclusive message the wire is in the middle of is ended (F7) rather than cut.
  // What is dropped is counted as the slot's. Client engine thread.
  void Close(int slot);
  // What is queued for the slot between a mark that `begins` and the next that does not is the
  // silence of its end (Note Offs, All Notes Off, Sustain Off): Close keeps it. Client engine
  // thread.
  void MarkSilence(int slot, bool begins);

  // Queues one whole MIDI message for the slot. Returns false, and drops the message whole, when
  // the slot's queue has no room for it (its wire is that far behind) or the slot is not open.
  // Client engine thread; never waits on the wire, never allocates.
  bool Queue(int slot, std::span<const std::uint8_t> message);

  // Bytes queued for the slot's device and not yet handed to the sequencer. Any thread.
  [[nodiscard]] std::size_t Pending(int slot) const;
  // Messages for the slot dropped here (refused, its device stalled, or its backlog dropped at
  // closing), since the writer was made. Any thread.
  [[nodiscard]] std::uint32_t Dropped(int slot) const noexcept;

private:
  struct Lane; // one device's queue
  struct Batch {
    std::size_t events = 0;    // in batch_
    std::size_t arenaUsed = 0; // bytes of arena_ that long events point into
  };
  void Run();
  [[nodiscard]] Lane* LaneOf(int slot) const noexcept; // under lock_
  // Counts `messages` dropped on the lane, as the first slot's that writes to it. Under lock_.
  void CountDropped(const Lane& lane, std::uint32_t messages) noexcept;
  // A reader that took nothing for kStallAfter: what waits for it goes. Under lock_.
  void Stall(Lane& lane);
  // Drops the lane's own connection to its device, if it has one. Under lock_, or at the end.
  void Release(Lane& lane) noexcept;
  // Takes into the batch what the device's wire has room for; returns when it can take more.
  // Under lock_.
  WirePace::Clock::time_point TakeSome(Lane& lane, WirePace::Clock::time_point now, Batch& batch);

  snd_seq_t* seq_;
  std::mutex& directLock_;
  DropCounters* drops_;
  std::array<std::atomic<std::uint32_t>, kSlots> dropped_{};
  mutable std::mutex lock_;
  std::condition_variable wake_;
  std::condition_variable drained_; // a closing lane has sent its last bytes
  bool stop_ = false;
  std::array<std::unique_ptr<Lane>, kSlots> lanes_;
  std::array<int, kSlots> laneOfSlot_{}; // -1: the slot is not open here
  // The writer thread's: events taken under lock_ and written after it, with the bytes of long ones.
  std::vector<snd_seq_event_t> batch_;
  std::vector<int> batchLane_; // the lane of each event in batch_
  std::vector<std::uint8_t> arena_;
  std::thread thread_;
};

} // namespace kestrel::midi
