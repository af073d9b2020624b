// SPDX-License-Identifier: GPL-3.0-or-later
#include "midi/paced_writer.hpp"

#include "core/realtime.hpp"

#include <algorithm>
#include <cstring>
#include <vector>

namespace kestrel::midi {

namespace {
// Bytes the encoder may hold before they leave as one event: counted as written when taken, so
// they are kept free in the buffer as well.
constexpr std::size_t kEventBytes = 256;
// The least worth waking for: a short message, or a good piece of a long one.
constexpr std::size_t kStep = 128;
// What a device that no slot writes to any more may still get: the silence its last slot sent
// as it closed, and a little more; a longer backlog is dropped.
constexpr std::size_t kDrainOnClose = 1024;
constexpr auto kDrainWait = std::chrono::milliseconds(500);
} // namespace

std::size_t WirePace::Room(Clock::time_point now) noexcept {
  const double drained = std::chrono::duration<double>(now - last_).count() * kWireBytesPerSecond;
  inFlight_ = std::max(0.0, inFlight_ - drained);
  last_ = now;
  const double room = kHardwareBuffer - static_cast<double>(kEventBytes) - inFlight_;
  return room > 0 ? static_cast<std::size_t>(room) : 0;
}

WirePace::Clock::time_point WirePace::WhenRoomFor(std::size_t bytes, Clock::time_point now) noexcept {
  const std::size_t room = Room(now);
  if (room >= bytes) return now;
  const double seconds = static_cast<double>(bytes - room) / kWireBytesPerSecond;
  return now + std::chrono::duration_cast<Clock::duration>(std::chrono::duration<double>(seconds));
}

struct PacedWriter::Lane {
  int slots = 0;        // open slots writing to this device
  bool closing = false; // no slot any more, the last bytes still going out
  int port = -1;        // ours, to write from
  snd_seq_addr_t device{};
  std::vector<std::uint8_t> ring; // kQueueBytes once the lane is first used
  std::size_t head = 0;           // next byte to write
  std::size_t size = 0;           // bytes queued
  snd_midi_event_t* encoder = nullptr;
  WirePace pace;

  ~Lane() {
    if (encoder != nullptr) snd_midi_event_free(encoder);
  }
};

PacedWriter::PacedWriter(snd_seq_t* seq, std::mutex& directLock) : seq_(seq), directLock_(directLock) {
  for (auto& lane : lanes_) lane = std::make_unique<Lane>();
  laneOfSlot_.fill(-1);
  batch_.resize(static_cast<std::size_t>(WirePace::kHardwareBuffer));
  arena_.resize(static_cast<std::size_t>(WirePace::kHardwareBuffer));
  thread_ = std::thread([this] { Run(); });
  NameThread(thread_.native_handle(), "kestrel-paced");
}

PacedWriter::~PacedWriter() {
  {
    std::unique_lock guard(lock_);
    // The last bytes of closed slots (their silence) go out first, for a little while.
    drained_.wait_for(guard, kDrainWait, [this] {
      return std::none_of(lanes_.begin(), lanes_.end(), [](const auto& l) { return l->closing; });
    });
    stop_ = true;
  }
  wake_.notify_all();
  thread_.join();
}

PacedWriter::Lane* PacedWriter::LaneOf(int slot) const noexcept {
  if (slot < 0 || slot >= kSlots) return nullptr;
  const int lane = laneOfSlot_[static_cast<std::size_t>(slot)];
  return lane < 0 ? nullptr : lanes_[static_cast<std::size_t>(lane)].get();
}

void PacedWriter::Open(int slot, int port, snd_seq_addr_t device) {
  if (slot < 0 || slot >= kSlots) return;
  Close(slot);
  const std::lock_guard guard(lock_);
  // This device's lane if it has one, in use or not: its pace knows how full the device's buffer
  // may still be. Otherwise a free one.
  int chosen = -1;
  for (int i = 0; i < kSlots && chosen < 0; ++i) {
    const Lane& l = *lanes_[static_cast<std::size_t>(i)];
    if (l.encoder != nullptr && l.device.client == device.client && l.device.port == device.port) chosen = i;
  }
  const bool known = chosen >= 0;
  for (int i = 0; i < kSlots && chosen < 0; ++i) {
    const Lane& l = *lanes_[static_cast<std::size_t>(i)];
    if (l.slots == 0 && !l.closing) chosen = i;
  }
  if (chosen < 0) return; // sixteen slots never need more lanes than there are
  Lane& l = *lanes_[static_cast<std::size_t>(chosen)];
  if (l.slots == 0 && !l.closing) {
    if (l.encoder == nullptr && snd_midi_event_new(kEventBytes, &l.encoder) < 0) {
      l.encoder = nullptr;
      return;
    }
    if (l.ring.empty()) l.ring.resize(kQueueBytes);
    snd_midi_event_reset_encode(l.encoder);
    l.port = port;
    l.device = device;
    l.head = 0;
    l.size = 0;
    if (!known) l.pace = WirePace{};
  }
  l.closing = false;
  ++lanes_[static_cast<std::size_t>(chosen)]->slots;
  laneOfSlot_[static_cast<std::size_t>(slot)] = chosen;
}

void PacedWriter::Close(int slot) {
  const std::lock_guard guard(lock_);
  Lane* l = LaneOf(slot);
  if (l == nullptr) return;
  laneOfSlot_[static_cast<std::size_t>(slot)] = -1;
  if (--l->slots > 0) return;
  // What a closing slot sent last (All Notes Off when the client is switched off) still goes.
  l->closing = l->size > 0 && l->size <= kDrainOnClose;
  if (!l->closing) l->size = 0;
}

bool PacedWriter::Queue(int slot, std::span<const std::uint8_t> message) {
  if (message.empty()) return false;
  {
    const std::lock_guard guard(lock_);
    Lane* l = LaneOf(slot);
    if (l == nullptr || kQueueBytes - l->size < message.size()) return false;
    const std::size_t tail = (l->head + l->size) % kQueueBytes;
    const std::size_t first = std::min(message.size(), kQueueBytes - tail);
    std::memcpy(l->ring.data() + tail, message.data(), first);
    std::memcpy(l->ring.data(), message.data() + first, message.size() - first);
    l->size += message.size();
  }
  wake_.notify_one();
  return true;
}

std::size_t PacedWriter::Pending(int slot) const {
  const std::lock_guard guard(lock_);
  const Lane* l = LaneOf(slot);
  return l == nullptr ? 0 : l->size;
}

WirePace::Clock::time_point PacedWriter::TakeSome(Lane& l, WirePace::Clock::time_point now, Batch& batch) {
  std::size_t room = l.pace.Room(now);
  while (l.size > 0 && room > 0 && batch.events < batch_.size()) {
    const std::size_t contiguous = std::min(l.size, kQueueBytes - l.head);
    snd_seq_event_t ev{};
    const long used =
        snd_midi_event_encode(l.encoder, l.ring.data() + l.head, static_cast<long>(std::min(contiguous, room)), &ev);
    const std::size_t n = used > 0 ? static_cast<std::size_t>(used) : 1; // a byte it cannot take is passed over
    l.head = (l.head + n) % kQueueBytes;
    l.size -= n;
    room -= std::min(room, n);
    l.pace.Wrote(n);
    if (used <= 0 || ev.type == SND_SEQ_EVENT_NONE) continue; // part of a message still being gathered
    snd_seq_ev_set_source(&ev, static_cast<unsigned char>(l.port));
    snd_seq_ev_set_dest(&ev, l.device.client, l.device.port);
    snd_seq_ev_set_direct(&ev);
    if ((ev.flags & SND_SEQ_EVENT_LENGTH_MASK) == SND_SEQ_EVENT_LENGTH_VARIABLE) {
      // The encoder's buffer is reused by its next event: the batch keeps a copy.
      const std::size_t length = std::min<std::size_t>(ev.data.ext.len, arena_.size() - batch.arenaUsed);
      std::memcpy(arena_.data() + batch.arenaUsed, ev.data.ext.ptr, length);
      ev.data.ext.ptr = arena_.data() + batch.arenaUsed;
      ev.data.ext.len = static_cast<unsigned>(length);
      batch.arenaUsed += length;
    }
    batch_[batch.events++] = ev;
  }
  if (l.size == 0) {
    if (l.closing) {
      l.closing = false;
      drained_.notify_all();
    }
    return WirePace::Clock::time_point::max();
  }
  return l.pace.WhenRoomFor(std::min(l.size, kStep), now);
}

void PacedWriter::Run() {
  // The client engine hands over under lock_: its writer must not be the one that waits. Asked
  // before taking the lock, since asking RTKit may take a while.
  AskForRealtime("kestrel-paced");
  std::unique_lock guard(lock_);
  while (!stop_) {
    auto next = WirePace::Clock::time_point::max();
    const auto now = WirePace::Clock::now();
    Batch batch;
    for (auto& lane : lanes_) {
      if ((lane->slots > 0 || lane->closing) && lane->size > 0) next = std::min(next, TakeSome(*lane, now, batch));
    }
    if (batch.events > 0) {
      // Written without lock_, so that the client engine never waits for these system calls. A
      // hardware port takes what it is sent at once; a refusal (it was unplugged) loses that
      // event only.
      guard.unlock();
      {
        const std::lock_guard direct(directLock_);
        for (std::size_t i = 0; i < batch.events; ++i) snd_seq_event_output_direct(seq_, &batch_[i]);
      }
      guard.lock();
      continue; // the wire's room is looked at again: more may fit, or it says how long to wait
    }
    if (next == WirePace::Clock::time_point::max()) {
      wake_.wait(guard);
    } else {
      wake_.wait_until(guard, next);
    }
  }
}

} // namespace kestrel::midi
