// SPDX-License-Identifier: GPL-3.0-or-later
#include "midi/paced_writer.hpp"

#include "core/drop_counters.hpp"
#include "midi/flow_control.hpp"
#include "platform/realtime.hpp"

#include <algorithm>
#include <cerrno>
#include <cstdint>
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
constexpr std::size_t kNoSilence = SIZE_MAX;
// A program's reader: cells its pool keeps free for other senders, the most one event of ours
// takes, how often a full one is looked at again, and how long it may take nothing.
constexpr int kReaderMargin = 16;
constexpr int kMostEventCells =
    1 + static_cast<int>((kEventBytes + sizeof(snd_seq_event_t) - 1) / sizeof(snd_seq_event_t));
constexpr auto kReaderPoll = std::chrono::milliseconds(1);
constexpr auto kStallAfter = std::chrono::seconds(2);

bool IsMessageStart(std::uint8_t byte) noexcept { return byte >= 0x80 && byte < 0xF8 && byte != 0xF7; }

// Whether `byte` ends or leaves open a system-exclusive message; `open` is the state before it.
bool SysexOpenAfter(bool open, std::uint8_t byte) noexcept {
  if (byte == 0xF0) return true;
  if (byte >= 0x80 && byte < 0xF8) return false; // F7, or another message that breaks it off
  return open;
}
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
  int slots = 0;           // open slots writing to this device
  bool closing = false;    // no slot any more, the last bytes still going out
  int port = -1;           // ours, to write from
  int ownPort = -1;        // the lane's own port, which keeps a hardware port in use until it drained
  bool subscribed = false; // ownPort is connected to the device
  snd_seq_addr_t device{};
  std::vector<std::uint8_t> ring;       // kQueueBytes once the lane is first used
  std::size_t head = 0;                 // next byte to write
  std::size_t size = 0;                 // bytes queued
  std::size_t silence = kNoSilence;     // bytes queued ahead of the marked silence
  std::size_t silenceEnd = kNoSilence;  // and ahead of its end
  std::size_t unsent = 0;               // bytes taken into the batch being written
  bool inSysex = false;                 // the bytes taken so far leave a system-exclusive message open
  bool rawSysex = false;                // and it is the rest of one that began before (no F0)
  bool reader = false;                  // a program's port: paced by its reader, not by a wire
  bool skipRest = false;                // the message being taken was cut: the rest of it goes
  bool owesEnd = false;                 // its reader has part of a system-exclusive message: F7 next
  int index = 0;                        // in lanes_
  bool stalled = false;                 // its reader took nothing for kStallAfter
  WirePace::Clock::time_point progress; // when its reader last had room, or the lane began to wait
  snd_midi_event_t* encoder = nullptr;
  WirePace pace;

  ~Lane() {
    if (encoder != nullptr) snd_midi_event_free(encoder);
  }
};

PacedWriter::PacedWriter(snd_seq_t* seq, std::mutex& directLock, DropCounters* drops)
    : seq_(seq), directLock_(directLock), drops_(drops) {
  for (std::size_t i = 0; i < lanes_.size(); ++i) {
    lanes_[i] = std::make_unique<Lane>();
    lanes_[i]->index = static_cast<int>(i);
  }
  laneOfSlot_.fill(-1);
  batch_.resize(static_cast<std::size_t>(WirePace::kHardwareBuffer));
  batchLane_.resize(batch_.size());
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
  for (auto& lane : lanes_) {
    Release(*lane);
    if (lane->ownPort >= 0) snd_seq_delete_simple_port(seq_, lane->ownPort);
  }
}

void PacedWriter::Release(Lane& l) noexcept {
  if (!l.subscribed) return;
  snd_seq_disconnect_to(seq_, l.ownPort, l.device.client, l.device.port);
  l.subscribed = false;
}

PacedWriter::Lane* PacedWriter::LaneOf(int slot) const noexcept {
  if (slot < 0 || slot >= kSlots) return nullptr;
  const int lane = laneOfSlot_[static_cast<std::size_t>(slot)];
  return lane < 0 ? nullptr : lanes_[static_cast<std::size_t>(lane)].get();
}

void PacedWriter::CountDropped(const Lane& lane, std::uint32_t messages) noexcept {
  if (messages == 0) return;
  CountDrop(drops_, Drop::OutputRefused, messages);
  for (int slot = 0; slot < kSlots; ++slot) {
    const int l = laneOfSlot_[static_cast<std::size_t>(slot)];
    if (l >= 0 && lanes_[static_cast<std::size_t>(l)].get() == &lane) {
      dropped_[static_cast<std::size_t>(slot)].fetch_add(messages, std::memory_order_relaxed);
      return;
    }
  }
}

std::uint32_t PacedWriter::Dropped(int slot) const noexcept {
  return slot >= 0 && slot < kSlots ? dropped_[static_cast<std::size_t>(slot)].load(std::memory_order_relaxed) : 0;
}

void PacedWriter::Open(int slot, int port, snd_seq_addr_t device, Pace pace) {
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
    if (pace == Pace::Wire) {
      // A hardware port takes events only while someone is connected to it: the lane keeps a
      // connection of its own, so that what it still has to send after its slots closed (their
      // silence) gets there. A program's port takes events sent to it directly.
      if (l.ownPort < 0) {
        l.ownPort = snd_seq_create_simple_port(seq_, "paced", SND_SEQ_PORT_CAP_READ,
                                               SND_SEQ_PORT_TYPE_MIDI_GENERIC | SND_SEQ_PORT_TYPE_APPLICATION);
      }
      if (l.ownPort >= 0) {
        l.port = l.ownPort;
        const int err = snd_seq_connect_to(seq_, l.ownPort, device.client, device.port);
        l.subscribed = err == 0 || err == -EBUSY;
      }
    }
    l.device = device;
    l.head = 0;
    l.size = 0;
    l.silence = kNoSilence;
    l.silenceEnd = kNoSilence;
    l.unsent = 0;
    l.inSysex = false;
    l.rawSysex = false;
    l.skipRest = false;
    l.owesEnd = false;
    l.stalled = false;
    l.reader = pace == Pace::Reader;
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
  if (l->slots > 1) {
    --l->slots;
    laneOfSlot_[static_cast<std::size_t>(slot)] = -1;
    return;
  }
  std::uint32_t dropped = 0;
  if (l->size > kDrainOnClose) {
    // A long backlog is not worth the wait: it goes, but the silence queued in it (All Notes Off
    // when the client is switched off) still reaches the device.
    const std::size_t from = std::min(l->silence, l->size);
    const std::size_t to = std::max(from, std::min(l->silenceEnd, l->size));
    for (std::size_t i = 0; i < l->size; ++i) {
      const std::uint8_t byte = l->ring[(l->head + i) % kQueueBytes];
      if ((i < from || i >= to) && IsMessageStart(byte)) ++dropped;
    }
    l->head = (l->head + from) % kQueueBytes;
    l->size = to - from;
    if (l->inSysex) {
      // The device has part of a message: it gets its end, not a cut.
      l->head = (l->head + kQueueBytes - 1) % kQueueBytes;
      l->ring[l->head] = 0xF7;
      ++l->size;
    }
  }
  CountDropped(*l, dropped); // as the closing slot's, while it still writes here
  laneOfSlot_[static_cast<std::size_t>(slot)] = -1;
  --l->slots;
  l->silence = kNoSilence;
  l->silenceEnd = kNoSilence;
  l->closing = l->size > 0;
  if (!l->closing && l->unsent == 0) Release(*l); // else once the batch in flight is written
}

void PacedWriter::Stall(Lane& l) {
  l.stalled = true;
  std::uint32_t dropped = 0;
  for (std::size_t i = 0; i < l.size; ++i) dropped += IsMessageStart(l.ring[(l.head + i) % kQueueBytes]) ? 1U : 0U;
  if (l.inSysex) {
    // The reader has part of a message: it gets the end when it takes anything again.
    l.owesEnd = true;
    l.inSysex = false;
    l.rawSysex = false;
    snd_midi_event_reset_encode(l.encoder);
    ++dropped;
  }
  l.skipRest = false;
  CountDropped(l, dropped);
  l.head = (l.head + l.size) % kQueueBytes;
  l.size = 0;
  l.silence = kNoSilence;
  l.silenceEnd = kNoSilence;
}

void PacedWriter::MarkSilence(int slot, bool begins) {
  const std::lock_guard guard(lock_);
  Lane* l = LaneOf(slot);
  if (l == nullptr) return;
  if (begins) {
    l->silence = l->size;
    l->silenceEnd = kNoSilence;
  } else if (l->silence != kNoSilence) {
    l->silenceEnd = l->size;
  }
}

bool PacedWriter::Queue(int slot, std::span<const std::uint8_t> message) {
  if (message.empty()) return false;
  {
    const std::lock_guard guard(lock_);
    Lane* l = LaneOf(slot);
    if (l == nullptr || kQueueBytes - l->size < message.size()) return false;
    if (l->size == 0 && l->unsent == 0) l->progress = WirePace::Clock::now(); // its reader's wait begins
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
  return l == nullptr ? 0 : l->size + l->unsent;
}

WirePace::Clock::time_point PacedWriter::TakeSome(Lane& l, WirePace::Clock::time_point now, Batch& batch) {
  // A wire has room for bytes; a reader for cells, which each event is counted against.
  std::size_t room = 0;
  int cells = 0;
  if (l.reader) {
    cells = DestinationRoom(seq_, l.device) - kReaderMargin;
    if (cells < kMostEventCells) {
      if (!l.stalled && now - l.progress >= kStallAfter) Stall(l);
      if (l.stalled && l.size > 0) Stall(l); // not waited for again until it takes something
      return l.size > 0 || l.owesEnd ? now + kReaderPoll : WirePace::Clock::time_point::max();
    }
    l.progress = now;
    l.stalled = false;
    room = kQueueBytes;
  } else {
    room = l.pace.Room(now);
  }

  const auto add = [&](snd_seq_event_t ev) {
    snd_seq_ev_set_source(&ev, static_cast<unsigned char>(l.port));
    snd_seq_ev_set_dest(&ev, l.device.client, l.device.port);
    snd_seq_ev_set_direct(&ev);
    if ((ev.flags & SND_SEQ_EVENT_LENGTH_MASK) == SND_SEQ_EVENT_LENGTH_VARIABLE) {
      // The encoder's buffer is reused by its next event: the batch keeps a copy. It never holds
      // more than kEventBytes, which the arena was found to have room for.
      std::memcpy(arena_.data() + batch.arenaUsed, ev.data.ext.ptr, ev.data.ext.len);
      ev.data.ext.ptr = arena_.data() + batch.arenaUsed;
      batch.arenaUsed += ev.data.ext.len;
    }
    cells -= static_cast<int>(EventCells(ev));
    batchLane_[batch.events] = l.index;
    batch_[batch.events++] = ev;
  };
  const auto fits = [&] {
    // The batch is shared by every device served in this pass: when it cannot hold one more
    // event of the largest size, this device waits for the next pass, which comes at once.
    return batch.events < batch_.size() && arena_.size() - batch.arenaUsed >= kEventBytes &&
           (!l.reader || cells >= kMostEventCells);
  };
  const auto taken = [&](std::size_t n) {
    l.head = (l.head + n) % kQueueBytes;
    l.size -= n;
    l.unsent += n;
    // The marks count the bytes ahead of them; once taken, a mark stays at the head.
    if (l.silence != kNoSilence) l.silence -= std::min(l.silence, n);
    if (l.silenceEnd != kNoSilence) l.silenceEnd -= std::min(l.silenceEnd, n);
  };
  if (l.skipRest) {
    // The rest of a message that was cut goes.
    while (l.size > 0 && l.ring[l.head] < 0x80) taken(1);
    if (l.size > 0 && l.ring[l.head] == 0xF7) taken(1);
    snd_midi_event_reset_encode(l.encoder);
    l.skipRest = false;
    l.inSysex = false;
    l.rawSysex = false;
  }
  if (l.owesEnd) {
    if (!fits()) return now;
    static constexpr std::uint8_t kEnd = 0xF7;
    snd_seq_event_t ev{};
    ev.type = SND_SEQ_EVENT_SYSEX;
    ev.flags = SND_SEQ_EVENT_LENGTH_VARIABLE;
    ev.data.ext.len = 1;
    ev.data.ext.ptr = const_cast<std::uint8_t*>(&kEnd); // only read
    add(ev);
    l.owesEnd = false;
  }
  while (l.size > 0 && room > 0) {
    if (!fits()) return now;
    const std::size_t contiguous = std::min(l.size, kQueueBytes - l.head);
    if (const std::uint8_t first = l.ring[l.head]; (first < 0x80 || first == 0xF7) && (!l.inSysex || l.rawSysex)) {
      // The rest of a message carried in several records whose start came before (or a lone
      // F7): handed on as it stands, as the encoder would not.
      const std::size_t most = std::min({contiguous, room, kEventBytes});
      std::size_t n = 0;
      bool ends = false;
      while (n < most && !ends) {
        const std::uint8_t b = l.ring[l.head + n];
        if (b >= 0x80 && b != 0xF7) break;
        ends = b == 0xF7;
        ++n;
      }
      snd_seq_event_t ev{};
      ev.type = SND_SEQ_EVENT_SYSEX;
      ev.flags = SND_SEQ_EVENT_LENGTH_VARIABLE;
      ev.data.ext.len = static_cast<unsigned>(n);
      ev.data.ext.ptr = l.ring.data() + l.head;
      add(ev);
      taken(n);
      if (!l.reader) {
        room -= std::min(room, n);
        l.pace.Wrote(n);
      }
      l.inSysex = !ends;
      l.rawSysex = !ends;
      continue;
    }
    snd_seq_event_t ev{};
    const long used =
        snd_midi_event_encode(l.encoder, l.ring.data() + l.head, static_cast<long>(std::min(contiguous, room)), &ev);
    const std::size_t n = used > 0 ? static_cast<std::size_t>(used) : 1; // a byte it cannot take is passed over
    for (std::size_t i = 0; i < n; ++i) l.inSysex = SysexOpenAfter(l.inSysex, l.ring[l.head + i]);
    taken(n);
    if (!l.reader) {
      room -= std::min(room, n);
      l.pace.Wrote(n);
    }
    if (used <= 0 || ev.type == SND_SEQ_EVENT_NONE) continue; // part of a message still being gathered
    add(ev);
  }
  if (l.size == 0) {
    if (l.closing) {
      l.closing = false; // its connection goes once this batch is written
      drained_.notify_all();
    }
    return WirePace::Clock::time_point::max();
  }
  return l.reader ? now + kReaderPoll : l.pace.WhenRoomFor(std::min(l.size, kStep), now);
}

void PacedWriter::Run() {
  // The client engine hands over under lock_: its writer must not be the one that waits. Asked
  // before taking the lock, since asking RTKit may take a while.
  AskForRealtime("kestrel-paced");
  std::unique_lock guard(lock_);
  std::array<bool, kSlots> refused{};
  std::array<bool, kSlots> partSent{}; // a refusal left the reader with part of a long message
  std::array<std::uint32_t, kSlots> lost{};
  while (!stop_) {
    auto next = WirePace::Clock::time_point::max();
    const auto now = WirePace::Clock::now();
    Batch batch;
    for (auto& lane : lanes_) {
      if ((lane->slots > 0 || lane->closing) && (lane->size > 0 || lane->owesEnd)) {
        next = std::min(next, TakeSome(*lane, now, batch));
      }
    }
    if (batch.events > 0) {
      // Written without lock_, so that the client engine never waits for these system calls. A
      // hardware port takes what it is sent at once, and a reader had room for it; a refusal (the
      // device was unplugged, another program filled the reader) loses that event, and the rest
      // of its lane's batch, which would leave a hole in the message.
      guard.unlock();
      refused.fill(false);
      partSent.fill(false);
      lost.fill(0);
      {
        const std::lock_guard direct(directLock_);
        for (std::size_t i = 0; i < batch.events; ++i) {
          const snd_seq_event_t& ev = batch_[i];
          const auto lane = static_cast<std::size_t>(batchLane_[i]);
          if (!refused[lane] && snd_seq_event_output_direct(seq_, &batch_[i]) >= 0) continue;
          const bool sysex = ev.type == SND_SEQ_EVENT_SYSEX;
          const bool begins =
              sysex && ev.data.ext.len > 0 && *static_cast<const std::uint8_t*>(ev.data.ext.ptr) == 0xF0;
          if (!refused[lane]) partSent[lane] = sysex && !begins;
          if (!sysex || begins || !refused[lane]) ++lost[lane];
          refused[lane] = true;
        }
      }
      guard.lock();
      for (std::size_t i = 0; i < kSlots; ++i) {
        Lane& l = *lanes_[i];
        l.unsent = 0;
        if (l.slots == 0 && !l.closing) Release(l);
        if (!refused[i]) continue;
        CountDropped(l, lost[i]);
        l.skipRest = l.inSysex;               // the message goes on in the queue: the rest of it goes too
        l.owesEnd = l.owesEnd || partSent[i]; // the reader gets the end of what it has
      }
      continue; // the room is looked at again: more may fit, or it says how long to wait
    }
    if (next == WirePace::Clock::time_point::max()) {
      wake_.wait(guard);
    } else {
      wake_.wait_until(guard, next);
    }
  }
}

} // namespace kestrel::midi
