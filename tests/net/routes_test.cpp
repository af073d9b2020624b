// SPDX-License-Identifier: GPL-3.0-or-later
// Beyond one broadcast segment: a server's unicast targets reach a client two routers away,
// where its broadcast never arrives; a target without route costs only its own datagrams; with
// the broadcast off nothing goes to 255.255.255.255; a multicast group reaches the clients that
// joined it; and every client plays each datagram once, whichever ways it reaches it.
#include "base/auto_reset_event.hpp"
#include "core/dump_store.hpp"
#include "core/note_off_repeater.hpp"
#include "core/send_queue.hpp"
#include "core/window_flags.hpp"
#include "core/wire/wire_protocol.hpp"
#include "net/client_engine.hpp"
#include "net/server_engine.hpp"
#include "net/udp_socket.hpp"
#include "support/child_process.hpp"
#include "support/network_lab.hpp"
#include "support/recording_outputs.hpp"

#include <gtest/gtest.h>

#include <arpa/inet.h>
#include <cerrno>
#include <chrono>
#include <memory>
#include <thread>

namespace kestrel::net {
namespace {

using namespace std::chrono_literals;
using test::NetworkLab;
using test::WaitUntil;

class Reports final : public ClientReports {
public:
  void ReportConnectionState(ConnectionState state) override { current_ = state; }
  void ReportServerAddress(in_addr_t address) override { server_ = address; }
  void ReportFatalError(const std::string& /*text*/) override {}
  ConnectionState CurrentState() const noexcept override { return current_.load(); }
  std::atomic<ConnectionState> current_{ConnectionState::Connecting};
  std::atomic<in_addr_t> server_{0};
};

in_addr_t Ip(const std::string& dotted) { return inet_addr(dotted.c_str()); }

// A song on four ports as a sequencer would play it: notes on and off, program and controller
// changes, pitch bends, and now and then a system exclusive long enough to travel in fragments.
struct Song {
  std::vector<std::vector<std::byte>> records;
  std::vector<std::pair<int, std::uint32_t>> shorts;              // what a client plays, in order
  std::vector<std::pair<int, std::vector<std::byte>>> exclusives; // likewise
};

Song MakeSong(int bars) {
  Song song;
  auto add = [&](int port, std::uint32_t word) {
    const ShortRecord r = MakeShortRecord(RecordType::MIM_DATA, port + 1, 0, 0, word);
    song.records.emplace_back(r.begin(), r.end());
    song.shorts.emplace_back(port, word);
  };
  for (int bar = 0; bar < bars; ++bar) {
    for (int port = 0; port < 4; ++port) {
      const auto channel = static_cast<std::uint8_t>(port);
      add(port, PackShortMessage(0xC0 | channel, static_cast<std::uint8_t>((bar + port) % 128)));
      add(port, PackShortMessage(0xB0 | channel, 7, static_cast<std::uint8_t>(60 + bar % 60)));
      for (int step = 0; step < 8; ++step) {
        const auto key = static_cast<std::uint8_t>(36 + (bar * 7 + step * 5 + port * 12) % 60);
        add(port, PackShortMessage(0x90 | channel, key, static_cast<std::uint8_t>(64 + step)));
        add(port, PackShortMessage(0xE0 | channel, static_cast<std::uint8_t>(step * 9), 64));
        add(port, PackShortMessage(0x80 | channel, key, 0));
      }
    }
    if (bar % 8 == 3) {
      std::vector<std::byte> sysex(kHeaderSize + 1500);
      for (std::size_t i = 0; i < 1500; ++i)
        sysex[kHeaderSize + i] = std::byte{static_cast<std::uint8_t>((static_cast<std::size_t>(bar) + i) % 0x80)};
      sysex[kHeaderSize] = std::byte{0xF0};
      sysex.back() = std::byte{0xF7};
      EventRecord h;
      h.dataLength = 1500;
      h.type = static_cast<std::int32_t>(RecordType::MIM_LONGDATA);
      h.port = 2;
      StoreHeader(sysex.data(), h);
      song.exclusives.emplace_back(1, std::vector<std::byte>(sysex.begin() + kHeaderSize, sysex.end()));
      song.records.push_back(std::move(sysex));
    }
  }
  return song;
}

// A plain listener: counts what arrives on a port of one host.
struct Listener {
  Listener(const NetworkLab& lab, int host, in_addr_t address, in_addr_t group = 0) {
    lab.In(host, [&] { receiver.Open(8800, address, group); });
  }
  // Datagrams that arrive until `quiet` passes without one. One timer for the whole run, so that
  // a burst is read as fast as it comes.
  std::vector<std::vector<std::byte>> Drain(std::chrono::milliseconds quiet = 500ms) {
    std::vector<std::vector<std::byte>> got;
    std::atomic<std::size_t> count{0};
    AutoResetEvent finished;
    std::thread timer([&] {
      for (std::size_t seen = 0;; seen = count.load()) {
        if (finished.WaitFor(quiet)) return;
        if (count.load() == seen) {
          interrupt.Set();
          return;
        }
      }
    });
    for (;;) {
      const int n = receiver.Receive(interrupt, false);
      if (n <= 0) break;
      const auto d = receiver.Data(static_cast<std::size_t>(n));
      got.emplace_back(d.begin(), d.end());
      count = got.size();
    }
    finished.Set();
    timer.join();
    interrupt.Consume();
    return got;
  }
  CUdpReceiver receiver;
  AutoResetEvent interrupt;
};

// Server (segment 0) -- router -- segment 1 -- router -- segment 2 (client). No host has a
// default route: the broadcast leaves on the server's own network and no further.
TEST(Routes, ASongReachesAClientTwoRoutersAwayThroughTargetsWhereTheBroadcastStops) {
  NetworkLab lab(2, /*defaultRoute=*/false); // 0: the server, 1: a listener beside it
  const int middle = lab.AddSubnet(0);
  const int far = lab.AddSubnet(1);
  lab.AddRouter(0, middle);
  lab.AddRouter(middle, far);
  lab.RouteEverywhere();
  const int client = 2;
  ASSERT_EQ(lab.AddressOn(client, far), "10.199.2.11");

  WindowFlags flags;
  flags.present = true;
  DumpStore dump{SystemClock(), flags};
  SendQueue queue{dump, flags};
  ServerLink link;
  CUdpSender sender{8800};
  // The second target has no route at all: it must cost nothing but its own datagrams.
  lab.In(0, [&] {
    sender.Open();
    sender.SetDestinations(
        {.broadcast = true, .targets = {Ip(lab.Address(client)), Ip("10.250.0.9")}, .group = 0, .ttl = 1});
  });
  link.sender = &sender;
  CServerThread server{queue, link, flags};

  test::RecordingOutputs outputs;
  Reports reports;
  CClientThread engine{outputs, dump, flags, reports};
  lab.In(client, [&] { engine.Start(); });
  for (int port = 0; port < 4; ++port) ASSERT_EQ(engine.PostCommand(CClientThread::CmdOpenOutput, port, "synth"), 1);
  engine.Connect(8800, Ip(lab.Address(client)));
  Listener beside(lab, 1, Ip(lab.Address(1)));

  lab.In(0, [&] { server.Start(); }); // the engine thread sends from the server's host
  const ShortRecord hello = MakeKeepAlive(8);
  ASSERT_TRUE(WaitUntil([&] {
    queue.Append(hello);
    std::this_thread::sleep_for(50ms);
    return reports.current_.load() == ConnectionState::Connected;
  })) << "the client two routers away hears the server";
  EXPECT_EQ(reports.server_.load(), Ip(lab.Address(0))) << "the datagrams come from the server itself";
  beside.Drain(200ms);

  const Song song = MakeSong(40);
  std::vector<std::vector<std::byte>> heardBeside;
  std::thread listening([&] { heardBeside = beside.Drain(1500ms); });
  for (std::size_t i = 0; i < song.records.size(); ++i) {
    queue.Append(song.records[i]);
    if (i % 24 == 23) std::this_thread::sleep_for(2ms); // played, not dumped at once
  }
  ASSERT_TRUE(WaitUntil([&] { return outputs.Shorts().size() >= song.shorts.size(); }, 10s))
      << outputs.Shorts().size() << " of " << song.shorts.size();
  ASSERT_TRUE(WaitUntil([&] { return outputs.Longs().size() >= song.exclusives.size(); }, 5s));
  std::this_thread::sleep_for(300ms);
  EXPECT_EQ(outputs.Shorts(), song.shorts) << "every event, once, in order";
  EXPECT_EQ(outputs.Longs(), song.exclusives);

  // The same datagrams went to the broadcast: the listener beside the server had the song too.
  listening.join();
  std::size_t notes = 0;
  RepeatFilter repeats; // the second copy of each Note Off, as a client passes it over
  for (const auto& d : heardBeside) {
    RecordReader reader(d);
    for (RecordView view; reader.Next(view);) {
      if (view.header.Is(RecordType::MIM_DATA) && !repeats.IsCopy(view.header, view.Word(), TickCount())) ++notes;
    }
  }
  EXPECT_EQ(notes, song.shorts.size()) << "the broadcast went on beside the unreachable target";
  EXPECT_GT(sender.TargetFailures(1), 0U);
  EXPECT_EQ(sender.TargetError(1), ENETUNREACH);
  EXPECT_TRUE(sender.TargetFailing(1));
  EXPECT_EQ(sender.TargetFailures(0), 0U);
  server.Stop();

  // The broadcast alone: the listener beside the server hears it, the far client does not.
  CUdpSender broadcastOnly{8800};
  lab.In(0, [&] { broadcastOnly.Open(); });
  const std::size_t played = outputs.Shorts().size();
  const ShortRecord note = MakeShortRecord(RecordType::MIM_DATA, 1, 0, 0, PackShortMessage(0x90, 99, 1));
  lab.In(0, [&] {
    for (int i = 0; i < 5; ++i) ASSERT_TRUE(broadcastOnly.Send(note));
  });
  EXPECT_EQ(beside.Drain().size(), 5U);
  std::this_thread::sleep_for(300ms);
  EXPECT_EQ(outputs.Shorts().size(), played) << "a broadcast crossed a router";
  engine.Stop();
}

// One segment: a server with the broadcast off, one target and a group; two clients that joined
// the group, the target, a bystander, and a client on the server's own host.
TEST(Routes, WithoutBroadcastOnlyTargetsAndTheGroupAreSentToAndEachHearsOnce) {
  NetworkLab lab(5); // 0: server, 1 and 2: group members, 3: the target, 4: a bystander
  const in_addr_t group = Ip("239.44.0.8");
  Listener member1(lab, 1, Ip(lab.Address(1)), group);
  // The second member is a client engine told of the group, as the window tells it.
  WindowFlags flags;
  flags.present = true;
  DumpStore dump{SystemClock(), flags};
  test::RecordingOutputs outputs;
  Reports reports;
  CClientThread member2{outputs, dump, flags, reports};
  member2.SetGroup(group);
  lab.In(2, [&] { member2.Start(); });
  ASSERT_EQ(member2.PostCommand(CClientThread::CmdOpenOutput, 0, "synth"), 1);
  member2.Connect(8800, Ip(lab.Address(2)));
  Listener target(lab, 3, Ip(lab.Address(3)));
  Listener bystander(lab, 4, Ip(lab.Address(4)));
  Listener own(lab, 0, Ip(lab.Address(0)), group); // a client beside the server, in the group
  for (Listener* l : {&member1, &own}) ASSERT_EQ(l->receiver.JoinError(), 0);
  std::this_thread::sleep_for(200ms); // the engine has opened its socket and joined

  CUdpSender sender{8800};
  lab.In(0, [&] {
    sender.Open();
    sender.SetDestinations({.broadcast = false, .targets = {Ip(lab.Address(3))}, .group = group, .ttl = 1});
  });
  const ShortRecord note = MakeShortRecord(RecordType::MIM_DATA, 1, 0, 0, PackShortMessage(0x90, 60, 90));
  lab.In(0, [&] {
    for (int i = 0; i < 20; ++i) ASSERT_TRUE(sender.Send(note));
  });
  EXPECT_EQ(member1.Drain().size(), 20U);
  ASSERT_TRUE(WaitUntil([&] { return outputs.Shorts().size() >= 20; }, 5s)) << outputs.Shorts().size();
  EXPECT_EQ(target.Drain().size(), 20U) << "the target has its own copy, and no broadcast besides";
  EXPECT_EQ(own.Drain().size(), 20U) << "without broadcast, the server's own machine hears the group";
  EXPECT_TRUE(bystander.Drain(300ms).empty()) << "nothing went to 255.255.255.255";

  // The broadcast on as well: every host hears it, and the server's own machine only once (the
  // group is not looped back to it). A target or a member beside the server keeps the copy sent
  // to it and passes over the broadcast copy of the same datagram.
  CUdpSender both{8800};
  lab.In(0, [&] {
    both.Open();
    both.SetDestinations({.broadcast = true, .targets = {Ip(lab.Address(3))}, .group = group, .ttl = 1});
    for (int i = 0; i < 10; ++i) ASSERT_TRUE(both.Send(note));
  });
  EXPECT_EQ(bystander.Drain().size(), 10U);
  EXPECT_EQ(target.Drain().size(), 10U);
  EXPECT_EQ(target.receiver.Copies(), 10U);
  EXPECT_EQ(own.Drain().size(), 10U) << "one copy, not the broadcast and the group";
  EXPECT_EQ(member1.Drain().size(), 10U);
  EXPECT_EQ(outputs.Shorts().size(), 30U) << "the client engine played each note once";
  member2.Stop();

  // What the server's address sends to the target hides none of its other broadcasts: only a
  // datagram's own copy is passed over (a flood from that address once muted the broadcast for 3 s).
  lab.In(0, [&] {
    CUdpSender direct{8800};
    direct.Open();
    direct.SetDestinations({.broadcast = false, .targets = {Ip(lab.Address(3))}, .group = 0, .ttl = 1});
    const ShortRecord other = MakeShortRecord(RecordType::MIM_DATA, 1, 1, 0, PackShortMessage(0x90, 61, 1));
    for (int i = 0; i < 5; ++i) ASSERT_TRUE(direct.Send(other));
    CUdpSender broadcastOnly{8800};
    broadcastOnly.Open();
    for (int i = 0; i < 10; ++i) ASSERT_TRUE(broadcastOnly.Send(note));
  });
  EXPECT_EQ(target.Drain().size(), 15U) << "the broadcasts after another datagram to this address";
}

} // namespace
} // namespace kestrel::net
