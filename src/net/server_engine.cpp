// SPDX-License-Identifier: GPL-3.0-or-later
#include "net/server_engine.hpp"

#include "core/drop_counters.hpp"
#include "core/send_queue.hpp"
#include "core/window_flags.hpp"
#include "core/wire/wire_protocol.hpp"
#include "net/udp_socket.hpp"
#include "platform/beep.hpp"
#include "platform/realtime.hpp"

#include <algorithm>
#include <cerrno>
#include <ctime>
#include <exception>
#include <poll.h>
#include <pthread.h>

namespace kestrel::net {

CServerThread::CServerThread(SendQueue& queue, ServerLink& link, const WindowFlags& flags, const TickClock& clock)
    : queue_(queue), link_(link), flags_(flags), clock_(clock) {}

CServerThread::~CServerThread() { Stop(); }

void CServerThread::Start() {
  if (thread_.joinable()) return;
  stopRequested_ = false;
  running_ = true;
  thread_ = std::thread([this] { Run(); });
  NameThread(thread_.native_handle(), "kestrel-server");
}

void CServerThread::Stop() {
  if (!thread_.joinable()) return;
  stopRequested_ = true;
  queue_.WakeEvent().Set();
  thread_.join();
}

void CServerThread::Run() {
  AskForRealtime("kestrel-server");
  HandBeepsOver();
  try {
    pollfd wake{queue_.WakeEvent().Fd(), POLLIN, 0};
    // What stayed queued when the last run ended goes first: that run may have taken the wake of
    // it (a stop racing a producer, or no sender), and the queue wakes only when it was empty.
    if (!stopRequested_ && flags_.present.load() && Drain() == 0) {
      running_ = false;
      return;
    }
    for (;;) {
      // A capture that never runs dry must not keep this real-time thread from blocking.
      if (RestWhenBusy()) CountDrop(queue_.Drops(), Drop::EnginePause);
      timespec wait{};
      timespec* timeout = nullptr;
      std::chrono::nanoseconds left{-1};
      if (repeater_.Pending()) {
        left = std::max(
            std::chrono::duration_cast<std::chrono::nanoseconds>(repeatDue_ - std::chrono::steady_clock::now()),
            std::chrono::nanoseconds{});
      }
      if (const long late = repeater_.LateDueIn(clock_.Now()); late >= 0) {
        const std::chrono::nanoseconds lateLeft = std::chrono::milliseconds(late);
        if (left.count() < 0 || lateLeft < left) left = lateLeft;
      }
      if (left.count() >= 0) {
        wait.tv_sec = static_cast<time_t>(left.count() / 1000000000);
        wait.tv_nsec = static_cast<long>(left.count() % 1000000000);
        timeout = &wait;
      }
      const int woken = ppoll(&wake, 1, timeout, nullptr);
      if (woken < 0 && errno != EINTR) break;
      if (woken == 0) { // the repeats waited long enough for a next datagram, or late ones are due
        if (CUdpSender* sender = link_.sender.load(); sender != nullptr) {
          if (repeater_.Pending() && std::chrono::steady_clock::now() >= repeatDue_) SendRepeats(*sender);
          SendRepeats(*sender, repeater_.TakeLate(clock_.Now()));
        }
        continue;
      }
      if (!queue_.WakeEvent().Consume()) continue;
      if (stopRequested_ || !flags_.present.load()) break;
      if (Drain() == 0) break;
    }
    // A repeat still due leaves now rather than never: it may be the only Note Off that arrives.
    if (CUdpSender* sender = link_.sender.load(); sender != nullptr && repeater_.Pending()) SendRepeats(*sender);
  } catch (const std::exception& e) { Beep(100, 30, e.what()); }
  running_ = false;
}

bool KeepAliveTick(Tick now, ServerLink& link, Tick& lastKeepAliveTime, SendQueue& queue, int virtualPortCount) {
  KeepAliveTimes times{link.lastSendTime.load(), lastKeepAliveTime};
  if (!KeepAliveDue(now, times)) return false;
  // The engine may have sent meanwhile; its newer time wins.
  Tick seen = link.lastSendTime.load();
  while (TickDiff(times.lastSendTime, seen) < 0x80000000U &&
         !link.lastSendTime.compare_exchange_weak(seen, times.lastSendTime)) {}
  lastKeepAliveTime = times.lastKeepAliveTime;
  queue.Append(MakeKeepAlive(virtualPortCount));
  return true;
}

int CServerThread::Drain() {
  CUdpSender* sender = link_.sender.load();
  if (sender == nullptr) return 0; // what is queued stays for the next start
  // Repeats lead: they must not follow a later Note On of their key.
  if (repeater_.Pending()) SendRepeats(*sender);
  const std::span<std::byte> records = queue_.Take();
  if (records.empty()) return 1;
  link_.lastSendTime.store(clock_.Now());
  if (repeatNoteOff_.load(std::memory_order_relaxed)) {
    repeater_.Collect(records, clock_.Now());
    if (repeater_.Pending()) repeatDue_ = std::chrono::steady_clock::now() + kRepeatDelay;
  }
  // Late copies due lead too; those of keys struck again in this run were withdrawn.
  SendRepeats(*sender, repeater_.TakeLate(clock_.Now()));
  // Before packing, which rewrites long records in place.
  link_.transports.SendRecords(records);
  PackDatagrams(
      records, [] { return HighResolutionCounter(); },
      [&](std::span<const std::byte> datagram) {
        if (!sender->Send(datagram)) {
          Beep(100, 10, "a datagram was not sent whole");
          CountDrop(queue_.Drops(), Drop::SendIncomplete);
        }
      });
  return 1;
}

void CServerThread::SendRepeats(CUdpSender& sender) { SendRepeats(sender, repeater_.Take()); }

void CServerThread::SendRepeats(CUdpSender& sender, std::span<std::byte> repeats) {
  if (repeats.empty()) return;
  link_.lastSendTime.store(clock_.Now());
  PackDatagrams(
      repeats, [] { return HighResolutionCounter(); },
      [&](std::span<const std::byte> datagram) {
        if (!sender.Send(datagram)) {
          Beep(100, 10, "a datagram was not sent whole");
          CountDrop(queue_.Drops(), Drop::SendIncomplete);
        }
      });
}

} // namespace kestrel::net
