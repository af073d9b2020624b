// SPDX-License-Identifier: GPL-3.0-or-later
#pragma once

// Writing to hardware MIDI ports at wire speed, on a thread of its own.
//
// A hardware port (a kernel client with a sound card) takes bytes into a 4 KiB buffer that drains
// at MIDI's wire speed; bytes beyond it are dropped by the kernel without a word. Such a port is
// written no faster than its wire carries, so a 64 KiB dump takes about 20 s. The client engine
// must not wait that long: every other port and every command from the window would wait with
// it. So messages for hardware ports are queued here whole, one queue per device (rows that share
// a device share its wire, and a long message must not be cut by another row's), and one writer
// thread hands them on as each device's wire makes room.

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
  PacedWriter(snd_seq_t* seq, std::mutex& directLock);
  ~PacedWriter(); // stops the thread; what is still queued is dropped
  PacedWriter(const PacedWriter&) = delete;
  PacedWriter& operator=(const PacedWriter&) = delete;

  // The slot starts writing to hardware port `device` from our port `port`; a device that
  // another slot writes to already is shared with it. Makes the device's queue (the only
  // allocation). Client engine thread.
  void Open(int slot, int port, snd_seq_addr_t device);
  // The slot stops; what waits for a device no open slot writes to any more is dropped. Client
  // engine thread.
  void Close(int slot);

  // Queues one whole MIDI message for the slot. Returns false, and drops the message whole, when
  // the slot's queue has no room for it (its wire is that far behind) or the slot is not open.
  // Client engine thread; never waits on the wire, never allocates.
  bool Queue(int slot, std::span<const std::uint8_t> message);

  // Bytes queued for the slot's device and not yet handed to the sequencer. Any thread.
  [[nodiscard]] std::size_t Pending(int slot) const;

private:
  struct Lane; // one device's queue
  struct Batch {
    std::size_t events = 0;    // in batch_
    std::size_t arenaUsed = 0; // bytes of arena_ that long events point into
  };
  void Run();
  [[nodiscard]] Lane* LaneOf(int slot) const noexcept; // under lock_
  // Takes into the batch what the device's wire has room for; returns when it can take more.
  // Under lock_.
  WirePace::Clock::time_point TakeSome(Lane& lane, WirePace::Clock::time_point now, Batch& batch);

  snd_seq_t* seq_;
  std::mutex& directLock_;
  mutable std::mutex lock_;
  std::condition_variable wake_;
  std::condition_variable drained_; // a closing lane has sent its last bytes
  bool stop_ = false;
  std::array<std::unique_ptr<Lane>, kSlots> lanes_;
  std::array<int, kSlots> laneOfSlot_{}; // -1: the slot is not open here
  // The writer thread's: events taken under lock_ and written after it, with the bytes of long ones.
  std::vector<snd_seq_event_t> batch_;
  std::vector<std::uint8_t> arena_;
  std::thread thread_;
};

} // namespace kestrel::midi
