// SPDX-License-Identifier: GPL-3.0-or-later
#include "net/client_engine.hpp"

#include "core/drop_counters.hpp"
#include "core/dump_store.hpp"
#include "core/midi_outputs.hpp"
#include "core/window_flags.hpp"
#include "platform/beep.hpp"
#include "platform/realtime.hpp"

#include <algorithm>
#include <cerrno>
#include <exception>
#include <poll.h>
#include <pthread.h>

namespace kestrel::net {

CClientThread::CClientThread(MidiOutputs& outputs, DumpStore& dump, const WindowFlags& flags, ClientReports& reports,
                             const TickClock& clock)
    : outputs_(outputs), dump_(dump), flags_(flags), reports_(reports), clock_(clock), lastReceiveTime_(clock.Now()) {
  // A command never waits behind a reader that is slow to make room.
  outputs_.SetWaitBreaker(&commandEvent_);
}

CClientThread::~CClientThread() {
  Stop();
  outputs_.CloseAllOutputs();
}

void CClientThread::Start() {
  if (thread_.joinable()) return;
  running_ = true;
  thread_ = std::thread([this] { Run(); });
  NameThread(thread_.native_handle(), "kestrel-client");
}

void CClientThread::Stop() {
  if (!thread_.joinable()) return;
  PostCommand(CmdQuit);
  thread_.join();
}

void CClientThread::Connect(std::uint16_t port, in_addr_t address) {
  connectPort_ = port;
  connectAddress_ = address;
  connectEvent_.Set();
}

int CClientThread::PostCommand(int code, int value, std::string_view data) {
  const std::lock_guard guard(commandLock_);
  if (!running_) return 0;
  {
    const std::lock_guard fields(fieldLock_);
    commandCode_ = code;
    commandValue_ = value;
    commandData_.assign(data);
  }
  commandEvent_.Set();
  // The engine sets the done event when it has run the command, or when it ends.
  doneEvent_.Wait();
  const std::lock_guard fields(fieldLock_);
  return commandResult_;
}

int CClientThread::RunCommand() {
  int code = 0;
  int value = 0;
  std::string data;
  {
    const std::lock_guard fields(fieldLock_);
    code = commandCode_;
    value = commandValue_;
    data = commandData_;
  }
  int keepReceiving = 1;
  switch (code) {
  case CmdOpenOutput: {
    SilenceRow(value); // on the old device: the new one never heard those notes
    const int result = outputs_.OpenOutputByName(data, value);
    const std::lock_guard fields(fieldLock_);
    commandResult_ = result;
    break;
  }
  case CmdCloseOutput:
    SilenceRow(value);
    outputs_.CloseOutput(value);
    break;
  case CmdNotesOff: SilenceWhatPlayed(); break;
  case CmdReviveOutputs: {
    const auto changes = static_cast<int>(outputs_.ReviveOutputs());
    const std::lock_guard fields(fieldLock_);
    commandResult_ = changes;
    break;
  }
  case CmdDisconnect:
  case CmdQuit: keepReceiving = 0; break;
  default: break;
  }
  // A command that ends the connection is answered once the connection has ended (CommandDone).
  if (keepReceiving != 0) doneEvent_.Set();
  return keepReceiving;
}

int CClientThread::PendingCode() {
  const std::lock_guard fields(fieldLock_);
  return commandCode_;
}

void CClientThread::Run() {
  AskForRealtime("kestrel-client");
  HandBeepsOver();
  try {
    for (;;) {
      // Between connections the other inputs are still played (they may stay open).
      std::array<pollfd, 2 + CUdpReceiver::kMaxOthers> fds{pollfd{commandEvent_.Fd(), POLLIN, 0},
                                                           pollfd{connectEvent_.Fd(), POLLIN, 0}};
      const std::span<pollfd> others = InputFds();
      for (std::size_t i = 0; i < others.size(); ++i) fds[2 + i] = others[i];
      if (RestWhenBusy(commandEvent_.Fd())) CountDrop(drops_, Drop::EnginePause); // an input that never runs dry
      if (poll(fds.data(), 2 + others.size(), -1) < 0 && errno != EINTR) break;
      ReadInputs(std::span<const pollfd>(fds).subspan(2, others.size()));
      // A connection asked for first: a command that came after it (a disconnect) then ends it
      // with its report, instead of being run before it and lost.
      if ((fds[1].revents & POLLIN) != 0 && connectEvent_.Consume() &&
          !RunReceiver(connectPort_.load(), connectAddress_.load())) {
        return;
      }
      if ((fds[0].revents & POLLIN) != 0 && commandEvent_.Consume()) {
        const bool quit = PendingCode() == CmdQuit;
        if (RunCommand() == 0) { // disconnect (nothing to end while idle) or quit
          if (quit) {
            ConnectionEnded(true); // the client is switched off
            CloseInputs();
            running_ = false;
          }
          doneEvent_.Set();
        }
        if (quit) return;
      }
    }
  } catch (const std::exception& e) { reports_.ReportFatalError(e.what()); } catch (...) {
    reports_.ReportFatalError("Unknown Error");
  }
  running_ = false;
  doneEvent_.Set(); // a caller waiting in PostCommand returns
}

bool CClientThread::RunReceiver(std::uint16_t port, in_addr_t address) {
  port_ = port;
  address_ = address;
  try {
    if (!receiver_.Open(port, address, group_.load())) {
      reports_.ReportConnectionState(ConnectionState::Disconnected);
      return true;
    }
    if (receiver_.JoinError() != 0) Beep(100, 30, "the multicast group cannot be joined; broadcasts are still heard");
  } catch (const NetError& e) {
    if (e.Error() == EADDRNOTAVAIL) CloseInputs(); // the address went: so do its inputs' sockets
    reports_.ReportConnectionState(e.Error() == EADDRINUSE ? ConnectionState::PortInUse
                                                           : ConnectionState::Disconnected);
    return true;
  }
  FollowInputs(address);
  bool resume = false;
  for (;;) {
    const std::span<pollfd> others = InputFds();
    const int n = receiver_.Receive(commandEvent_, resume, others);
    resume = false;
    if (n == CUdpReceiver::kOthersReady) {
      ReadInputs(others);
      continue;
    }
    if (n < 0) {
      Beep(100, 10, "receiving failed");
      reports_.ReportConnectionState(ConnectionState::Disconnected);
      receiver_.CloseAll();
      ConnectionEnded();
      return true;
    }
    if (n == 0) { // a command is pending
      resume = true;
      const bool quit = PendingCode() == CmdQuit;
      if (RunCommand() != 0) continue;
      if (!quit) reports_.ReportConnectionState(ConnectionState::Disconnected);
      receiver_.CloseAll();
      ConnectionEnded(quit);
      if (quit) {
        CloseInputs();
        running_ = false;
      }
      doneEvent_.Set(); // the caller learns of it once all of this is done
      return !quit;
    }
    lastReceiveTime_ = clock_.Now();
    if (!flags_.present.load()) {
      receiver_.CloseAll();
      return true;
    }
    if (reports_.CurrentState() == ConnectionState::Connecting) {
      reports_.ReportConnectionState(ConnectionState::Connected);
    }
    HandleDatagram(receiver_.Data(static_cast<std::size_t>(n)), receiver_.SenderAddress());
  }
}

void CClientThread::ConnectionEnded(bool stopping) {
  heardServer_ = 0;
  secondServerKnown_ = false;
  if (notesOffOnLoss_.load()) SilenceWhatPlayed(stopping);
}

void CClientThread::SilenceWhatPlayed(bool stopping) {
  // Only what Kestrel played is Kestrel's to silence: the same synths may sound for other
  // programs, and a client without a server ends a connection every few seconds. What the other
  // inputs played is silenced when the client stops: their peers need not send keep-alives, so a
  // connection that ends says nothing about them.
  if (!playedSinceSilence_ && !(stopping && othersPlayed_)) return;
  playedSinceSilence_ = false;
  if (stopping) othersPlayed_ = false;
  // A Note Off for each note Kestrel turned on and did not turn off (some synthesizers ignore All
  // Notes Off), then All Notes Off and Sustain Off on every channel.
  outputs_.BeginSilence(-1);
  sounding_.SilenceEach([this](int slot, std::uint32_t noteOff) { outputs_.PlayShort(slot, noteOff); });
  outputs_.NotesOff();
  playedRows_ = 0;
}

void CClientThread::SilenceRow(int slot) {
  if (slot < 0 || slot >= MidiOutputs::kSlots) return;
  const std::uint32_t bit = 1U << static_cast<unsigned>(slot);
  if ((playedRows_ & bit) == 0 || outputs_.State(slot) != MidiOutputs::SlotState::Open) {
    sounding_.Forget(slot);
    return;
  }
  playedRows_ &= ~bit;
  outputs_.BeginSilence(slot);
  sounding_.SilenceSlot(slot, [this, slot](std::uint32_t noteOff) { outputs_.PlayShort(slot, noteOff); });
  outputs_.NotesOff(slot);
}

bool CClientThread::NoteSender(in_addr_t from) {
  const Tick now = clock_.Now();
  if (from == heardServer_ || heardServer_ == 0 || TickElapsed(now, heardServerTime_) > kServerSilenceMs) {
    heardServer_ = from;
    heardServerTime_ = now;
    return true;
  }
  CountDrop(drops_, Drop::SecondServer);
  if (!secondServerKnown_ || TickElapsed(now, secondServerReported_) >= 1000) {
    secondServerKnown_ = true;
    secondServerReported_ = now;
    reports_.ReportSecondServer(from);
  }
  return false;
}

void CClientThread::CountFragmentDrop(const EventRecord& fragment, FragmentGatherer::Result result) {
  using Result = FragmentGatherer::Result;
  if (result != Result::SequenceBreak && result != Result::Ignored && result != Result::Refused &&
      result != Result::Discarded) {
    return;
  }
  // Every later fragment of a message that broke, or that was refused, is refused or ignored in
  // turn: the message is counted once.
  if (droppedMessageKnown_ && droppedMessageId_ == fragment.messageId) return;
  droppedMessageKnown_ = true;
  droppedMessageId_ = fragment.messageId;
  CountDrop(drops_, result == Result::Refused || result == Result::Discarded ? Drop::Malformed : Drop::FragmentBreak);
}

void CClientThread::HandleDatagram(std::span<const std::byte> datagram, in_addr_t from) {
  RecordReader reader(datagram);
  RecordView view;
  // Long messages whose next fragment never came are dropped here, not only when another
  // fragment arrives: the server's keep-alives bring this round at least once a second.
  gatherer_.Expire(clock_.Now());
  const bool heard = NoteSender(from);
  bool keptAlive = !heard; // another server's keep-alives do not move what the window shows
  while (reader.Next(view)) {
    const EventRecord& h = view.header;
    if (h.Is(RecordType::KeepAlive)) {
      // One keep-alive says all a datagram can say: a datagram full of them is acted on once.
      if (!keptAlive) {
        keptAlive = true;
        reports_.ReportConnectionState(ConnectionState::Connected);
        reports_.ReportServerAddress(from);
      }
      continue;
    }
    if (h.port < kLowestPort || h.port > kHighestReceivedPort) continue;
    if (outputs_.State(h.port - 1) == MidiOutputs::SlotState::Empty) continue;
    if (h.Is(RecordType::Fragment) || h.Is(RecordType::LastFragment)) {
      const FragmentGatherer::Result r = gatherer_.Add(view, clock_.Now());
      // One beep per broken message: every later fragment of it breaks the sequence again.
      if (r == FragmentGatherer::Result::SequenceBreak && (!brokenMessageKnown_ || brokenMessageId_ != h.messageId)) {
        brokenMessageKnown_ = true;
        brokenMessageId_ = h.messageId;
        Beep(1000, 10, "a fragment came out of sequence");
      }
      CountFragmentDrop(h, r);
      if (r == FragmentGatherer::Result::Complete)
        Play(gatherer_.Completed().header, gatherer_.Completed().payload, from);
      continue;
    }
    Play(h, view.payload, from);
  }
  if (reader.Malformed()) CountDrop(drops_, Drop::Malformed);
  CountDrop(drops_, Drop::LongExpired, gatherer_.Abandoned() - abandonedSeen_);
  abandonedSeen_ = gatherer_.Abandoned();
  outputs_.Flush();
}

void CClientThread::Play(const EventRecord& header, std::span<const std::byte> payload, in_addr_t from) {
  const int slot = header.port - 1;
  // A server sends each message that ends sound twice, against loss: the copy is not played again.
  if (header.Is(RecordType::MIM_DATA) &&
      repeats_.IsCopy(header, static_cast<std::uint32_t>(LoadLE32(payload.data())), clock_.Now())) {
    return;
  }
  // Its copy on another input may have come first.
  const bool playedThere =
      AnyInputOpen() && pathCopies_.IsCopy(PathCopies::kKestrel, from, header, payload, clock_.Now());
  if (outputs_.State(slot) == MidiOutputs::SlotState::Open) {
    if (!playedThere && header.Is(RecordType::MIM_DATA)) {
      const auto word = static_cast<std::uint32_t>(LoadLE32(payload.data()));
      outputs_.PlayShort(slot, word);
      sounding_.Note(slot, word);
    }
    if (!playedThere && header.Is(RecordType::MIM_LONGDATA)) outputs_.PlayLong(slot, payload);
    playedSinceSilence_ = true; // silenced when this connection ends, whichever path played it
    playedRows_ |= 1U << static_cast<unsigned>(slot);
  }
  EventRecord noted = header;
  dump_.NoteArrival(noted);
  if (flags_.clientLog.load(std::memory_order_relaxed)) dump_.AppendToDump(noted, payload);
}

// ---- the other inputs ------------------------------------------------------------------------

void CClientThread::AddInput(RecordsIn& input) {
  if (inputCount_ < inputs_.size()) inputs_[inputCount_++] = &input;
}

std::span<pollfd> CClientThread::InputFds() {
  std::size_t n = 0;
  for (std::size_t i = 0; i < inputCount_; ++i) {
    for (const pollfd& p : inputs_[i]->PollFds()) {
      if (n == inputFds_.size()) break;
      inputFds_[n++] = pollfd{p.fd, POLLIN, 0};
    }
  }
  return {inputFds_.data(), n};
}

void CClientThread::ReadInputs(std::span<const pollfd> polled) {
  if (std::none_of(polled.begin(), polled.end(), [](const pollfd& p) { return (p.revents & POLLIN) != 0; })) return;
  if (!flags_.present.load()) {
    CloseInputs(); // the window is gone: nothing more is played
    return;
  }
  // The same order as InputFds gathered them in: each input learns its own revents.
  std::size_t n = 0;
  for (std::size_t i = 0; i < inputCount_; ++i) {
    RecordsIn& input = *inputs_[i];
    bool ready = false;
    for (pollfd& p : input.PollFds()) {
      p.revents = 0;
      if (n < polled.size()) p.revents = polled[n++].revents;
      ready = ready || (p.revents & POLLIN) != 0;
    }
    if (!ready) continue;
    arrivingPath_ = static_cast<std::uint8_t>(i + 1);
    input.ReadReady(*this, clock_.Now());
  }
  outputs_.Flush();
}

void CClientThread::FollowInputs(in_addr_t address) {
  for (std::size_t i = 0; i < inputCount_; ++i) inputs_[i]->Follow(address);
}

void CClientThread::CloseInputs() noexcept {
  for (std::size_t i = 0; i < inputCount_; ++i) inputs_[i]->Close();
}

bool CClientThread::AnyInputOpen() const noexcept {
  for (std::size_t i = 0; i < inputCount_; ++i) {
    if (inputs_[i]->IsOpen()) return true;
  }
  return false;
}

void CClientThread::Arrived(const EventRecord& header, std::span<const std::byte> payload, in_addr_t from) {
  const int slot = header.port - 1;
  if (slot < 0 || slot >= MidiOutputs::kSlots) return;
  const MidiOutputs::SlotState state = outputs_.State(slot);
  if (state == MidiOutputs::SlotState::Empty) return;
  // A Kestrel server speaking several ways sends the message on Kestrel's own port too.
  if (pathCopies_.IsCopy(arrivingPath_, from, header, payload, clock_.Now())) return;
  if (state == MidiOutputs::SlotState::Open) {
    if (header.Is(RecordType::MIM_DATA)) {
      const auto word = static_cast<std::uint32_t>(LoadLE32(payload.data()));
      outputs_.PlayShort(slot, word);
      sounding_.Note(slot, word);
    } else {
      outputs_.PlayLong(slot, payload);
    }
    othersPlayed_ = true;
    playedRows_ |= 1U << static_cast<unsigned>(slot);
  }
  // No lag figures: not every transport carries the sender's time.
  if (flags_.clientLog.load(std::memory_order_relaxed)) dump_.AppendToDump(header, payload);
}

} // namespace kestrel::net
