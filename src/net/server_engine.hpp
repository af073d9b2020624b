// SPDX-License-Identifier: GPL-3.0-or-later
#pragma once

// The server engine: one thread that sends everything reaching the send queue to the LAN the
// moment it is woken, packed into broadcasts of at most 512 bytes, long messages in fragments.
// Messages that end sound go out a second time, ahead of the next datagram or 5 ms later.

#include "base/tick_clock.hpp"
#include "core/note_off_repeater.hpp"
#include "net/transport.hpp"

#include <atomic>
#include <chrono>
#include <thread>

namespace kestrel {
class SendQueue;
struct WindowFlags;
} // namespace kestrel

namespace kestrel::net {

class CUdpSender;

// What the server engine shares with the window: the sender (none while the server is off) and
// the tick of the last send, which the keep-alive rule reads. Owned by the application context.
struct ServerLink {
  std::atomic<CUdpSender*> sender{nullptr};
  // The other transports (the multicast raw-MIDI sender while "[Interop] Multicast" is on): every
  // batch is handed to them too, before Kestrel's own datagrams of it are packed.
  RecordsOutSlots transports;
  std::atomic<Tick> lastSendTime{TickCount()};
};

// The keep-alive rule on one status tick while the server is on: queues a KeepAlive carrying the
// virtual port count when more than 1000 ms passed since the last send (or 10 s since the last
// keep-alive). `lastKeepAliveTime` is the window's. Returns whether one was queued. UI thread.
bool KeepAliveTick(Tick now, ServerLink& link, Tick& lastKeepAliveTime, SendQueue& queue, int virtualPortCount);

class CServerThread {
public:
  CServerThread(SendQueue& queue, ServerLink& link, const WindowFlags& flags, const TickClock& clock = SystemClock());
  ~CServerThread(); // stops the thread if it runs
  CServerThread(const CServerThread&) = delete;
  CServerThread& operator=(const CServerThread&) = delete;

  // Starts the thread (asking for real-time scheduling where the user may have it). UI thread.
  void Start();
  // Asks the thread to end, wakes it and waits until it has ended. Records still queued stay and
  // leave first at the next start. UI thread.
  void Stop();
  [[nodiscard]] bool Running() const noexcept { return running_.load(); }

  // Whether Note Off, Note On with velocity 0, Sustain Off, All Notes Off and All Sound Off are
  // sent twice, and a key's last Note Off and the last Sustain Off late again
  // (NoteOffRepeater::kLateRepeatMs; default on). Any thread; applies from the next run of records.
  void SetRepeatNoteOff(bool on) noexcept { repeatNoteOff_.store(on); }

  // Sends the repeats still due, then everything queued: 1 to go on, 0 when there is no sender
  // (the thread then ends). Engine thread (tests may call it directly while no thread runs).
  int Drain();

  // How long a repeat waits for the next datagram at most.
  static constexpr std::chrono::milliseconds kRepeatDelay{5};

private:
  void Run();
  void SendRepeats(CUdpSender& sender); // the early copies
  void SendRepeats(CUdpSender& sender, std::span<std::byte> repeats);

  SendQueue& queue_;
  ServerLink& link_;
  const WindowFlags& flags_;
  const TickClock& clock_;
  std::atomic<bool> stopRequested_{false};
  std::atomic<bool> running_{false};
  std::atomic<bool> repeatNoteOff_{true};
  NoteOffRepeater repeater_;                        // engine thread only
  std::chrono::steady_clock::time_point repeatDue_; // when the pending repeats leave at the latest
  std::thread thread_;
};

} // namespace kestrel::net
