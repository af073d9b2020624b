// SPDX-License-Identifier: GPL-3.0-or-later
#pragma once

// The client engine: one thread that listens on one local address and port, plays every record a
// server broadcasts there on the local output of its port, and tells the window how the
// connection stands. Other transports (net/transport.hpp) added before it starts are waited on
// beside it, in and between connections, and what they bring is played the same way. Commands from the window (open or
// close an output, disconnect, quit) reach it through a synchronous channel that also breaks its wait on the network.

#include "base/auto_reset_event.hpp"
#include "base/tick_clock.hpp"
#include "core/note_off_repeater.hpp"
#include "core/sounding_notes.hpp"
#include "core/wire/raw_midi.hpp"
#include "core/wire/wire_protocol.hpp"
#include "net/path_copies.hpp"
#include "net/transport.hpp"
#include "net/udp_socket.hpp"

#include <array>
#include <atomic>
#include <cstdint>
#include <mutex>
#include <netinet/in.h>
#include <string>
#include <string_view>
#include <thread>

namespace kestrel {
class DropCounters;
class DumpStore;
class MidiOutputs;
struct WindowFlags;
} // namespace kestrel

namespace kestrel::net {

enum class ConnectionState : int { Disconnected = 0, Connected = 1, Connecting = 2, PortInUse = 3 };

// A heard server silent this long gives way to another sender on the same port.
inline constexpr Tick kServerSilenceMs = 5000;

// What the client engine tells the main window. Called on the engine thread; implementations
// queue the report to the window's thread and return at once.
class ClientReports {
public:
  virtual ~ClientReports() = default;
  virtual void ReportConnectionState(ConnectionState state) = 0;
  // The server this connection hears (network order), with its keep-alives: the first sender of
  // the connection, or the next one once it has been silent for kServerSilenceMs.
  virtual void ReportServerAddress(in_addr_t address) = 0;
  // Datagrams from another sender reach the same port (at most once a second). Both are played.
  virtual void ReportSecondServer(in_addr_t /*address*/) {}
  // A failure that ends the engine ("Error: %s" in the window); the program goes on.
  virtual void ReportFatalError(const std::string& text) = 0;
  // The window's current state, read without a lock.
  [[nodiscard]] virtual ConnectionState CurrentState() const noexcept = 0;
};

class CClientThread : private RecordsInSink {
public:
  enum Command : int {
    CmdQuit = 18,
    CmdOpenOutput = 1129,
    CmdCloseOutput = 1131,
    CmdDisconnect = 1132,
    CmdNotesOff = 1133,      // silence every open output if anything was played since the last silence
    CmdReviveOutputs = 1134, // reconnect outputs whose device came back; MidiOutputs::ReviveOutputs' bits
  };

  // Everything passed in must outlive the engine.
  CClientThread(MidiOutputs& outputs, DumpStore& dump, const WindowFlags& flags, ClientReports& reports,
                const TickClock& clock = SystemClock());
  ~CClientThread() override; // Stop()
  CClientThread(const CClientThread&) = delete;
  CClientThread& operator=(const CClientThread&) = delete;

  void Start(); // UI thread
  // Runs a command on the engine thread and returns its result (the last CmdOpenOutput's result
  // for commands without one); 0 at once when the engine is not running. UI thread; blocks.
  int PostCommand(int code, int value = 0, std::string_view data = {});
  // Starts receiving on (port, address); a running receive loop must have ended first.
  void Connect(std::uint16_t port, in_addr_t address);
  // CmdQuit, then waits for the thread. UI thread.
  void Stop();

  [[nodiscard]] bool Running() const noexcept { return running_.load(); }
  [[nodiscard]] Tick LastReceiveTime() const noexcept { return lastReceiveTime_.load(); }
  [[nodiscard]] std::uint16_t Port() const noexcept { return port_.load(); }
  [[nodiscard]] in_addr_t Address() const noexcept { return address_.load(); }
  // When a connection that played something ends, All Notes Off and Sustain Off go to every open
  // output (default on).
  void SetNotesOffOnLoss(bool on) noexcept { notesOffOnLoss_.store(on); }
  // A multicast group (network order, 0: none) that the next connection also joins, on the
  // interface of its address.
  void SetGroup(in_addr_t group) noexcept { group_.store(group); }
  // Where the engine counts what it drops or takes for a fault: oversized and malformed
  // datagrams, broken and expired long messages, datagrams from a second server. Before Start();
  // `drops` outlives the engine. Unset: not counted.
  void SetDropCounters(DropCounters* drops) noexcept {
    drops_ = drops;
    receiver_.SetDropCounters(drops);
  }
  // Also waits on `input` and plays what it brings (at most kMostInputs). Its messages do not make
  // or keep a connection: it follows the address of each connection (RecordsIn::Follow) and is
  // closed when the client stops. What it played is silenced when the client stops; its messages
  // and their copies in Kestrel's own datagrams are played once (PathCopies). Before Start();
  // `input` outlives the engine.
  static constexpr std::size_t kMostInputs = 4;
  void AddInput(RecordsIn& input);

private:
  void Run();
  // Receives until the connection ends; false when it ended because the engine quits.
  bool RunReceiver(std::uint16_t port, in_addr_t address);
  int PendingCode();
  int RunCommand();
  void HandleDatagram(std::span<const std::byte> datagram, in_addr_t from);
  void Play(const EventRecord& header, std::span<const std::byte> payload, in_addr_t from);
  // The other inputs: their sockets gathered for one poll (after Kestrel's own), what they say
  // they have read and played (Arrived).
  std::span<pollfd> InputFds();
  void ReadInputs(std::span<const pollfd> polled);
  void FollowInputs(in_addr_t address);
  void CloseInputs() noexcept;
  [[nodiscard]] bool AnyInputOpen() const noexcept;
  void Arrived(const EventRecord& header, std::span<const std::byte> payload, in_addr_t from) override;
  // `stopping`: the client is switched off, and what the other inputs played is silenced too.
  void ConnectionEnded(bool stopping = false);
  void SilenceWhatPlayed(bool stopping = false);
  // A row that closes or turns to another device: a Note Off for each note it left on, then All
  // Notes Off and Sustain Off, on its device, if it played anything since its last silence.
  void SilenceRow(int slot);
  // Which server is heard; false for a datagram from another sender while that one is alive.
  bool NoteSender(in_addr_t from);
  // Counts a fragment the gatherer did not take, once per long message.
  void CountFragmentDrop(const EventRecord& fragment, FragmentGatherer::Result result);

  MidiOutputs& outputs_;
  DumpStore& dump_;
  const WindowFlags& flags_;
  ClientReports& reports_;
  const TickClock& clock_;

  CUdpReceiver receiver_;
  FragmentGatherer gatherer_;
  SoundingNotes sounding_; // engine thread only
  RepeatFilter repeats_;   // engine thread only
  std::array<RecordsIn*, kMostInputs> inputs_{};
  std::size_t inputCount_ = 0;
  std::array<pollfd, CUdpReceiver::kMaxOthers> inputFds_{}; // engine thread only
  std::uint8_t arrivingPath_ = 0;                           // the input being read, as PathCopies counts
  PathCopies pathCopies_;                                   // engine thread only
  DropCounters* drops_ = nullptr;                           // set before the thread starts
  std::uint64_t abandonedSeen_ = 0;                         // the gatherer's Abandoned() as last counted
  in_addr_t heardServer_ = 0;                               // the server this connection hears, 0: none yet
  Tick heardServerTime_ = 0;                                // its last datagram
  Tick secondServerReported_ = 0;                           // the last report of another sender
  std::int32_t brokenMessageId_ = 0;
  std::int32_t droppedMessageId_ = 0;
  std::atomic<in_addr_t> group_{0};
  std::atomic<Tick> lastReceiveTime_;
  std::atomic<in_addr_t> address_{0};
  std::atomic<std::uint16_t> port_{0};
  bool playedSinceSilence_ = false; // engine thread only
  std::uint32_t playedRows_ = 0;    // engine thread only: rows played since their last silence
  bool othersPlayed_ = false;       // the other inputs, since the last silence; silenced when the client stops
  bool secondServerKnown_ = false;
  bool brokenMessageKnown_ = false;  // the last message that broke its fragment sequence
  bool droppedMessageKnown_ = false; // the last long message counted as dropped
  std::atomic<bool> running_{false};
  std::atomic<bool> notesOffOnLoss_{true};

  // The command channel: one pending command at a time, callers serialised by commandLock_.
  std::mutex commandLock_;
  std::mutex fieldLock_; // the pending command's fields, between the caller and the engine
  AutoResetEvent commandEvent_;
  AutoResetEvent doneEvent_;
  int commandCode_ = 0;
  int commandValue_ = 0;
  std::string commandData_;
  int commandResult_ = 0;

  // A connect request, picked up by the idle loop.
  AutoResetEvent connectEvent_;
  std::atomic<std::uint16_t> connectPort_{0};
  std::atomic<in_addr_t> connectAddress_{0};

  std::thread thread_;
};

} // namespace kestrel::net
