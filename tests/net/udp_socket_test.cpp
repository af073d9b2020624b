// SPDX-License-Identifier: GPL-3.0-or-later
// UDP between hosts of a LAN made of network namespaces: broadcasts from a server reach the
// clients bound to their own addresses, and a client's wait can be interrupted.
#include "base/auto_reset_event.hpp"
#include "net/udp_socket.hpp"
#include "support/network_lab.hpp"

#include <gtest/gtest.h>

#include <arpa/inet.h>
#include <cerrno>
#include <chrono>
#include <memory>
#include <thread>

namespace kestrel::net {
namespace {

using test::NetworkLab;
using namespace std::chrono_literals;

std::vector<std::byte> Bytes(std::size_t n, std::uint8_t seed = 1) {
  std::vector<std::byte> v(n);
  for (std::size_t i = 0; i < n; ++i) v[i] = std::byte{static_cast<std::uint8_t>(seed + i)};
  return v;
}

struct Client {
  Client(const NetworkLab& lab, int host, std::uint16_t port, const std::string& address = {}) {
    lab.In(host, [&] {
      receiver = std::make_unique<CUdpReceiver>();
      receiver->Open(port, inet_addr((address.empty() ? lab.Address(host) : address).c_str()));
    });
  }
  // The next datagram, or nothing when `wait` passes first.
  std::vector<std::byte> Next(std::chrono::milliseconds wait = 5s) {
    AutoResetEvent done;
    std::thread timer([&] {
      if (!done.WaitFor(wait)) interrupt.Set();
    });
    const int n = receiver->Receive(interrupt, false);
    done.Set();
    timer.join();
    interrupt.Consume();
    if (n <= 0) return {};
    const auto data = receiver->Data(static_cast<std::size_t>(n));
    return {data.begin(), data.end()};
  }
  std::unique_ptr<CUdpReceiver> receiver;
  AutoResetEvent interrupt;
};

struct Server {
  Server(const NetworkLab& lab, int host, std::uint16_t port, const std::string& interfaceName = {})
      : lab_(lab), host_(host), sender(port) {
    lab.In(host, [&] {
      sender.SetInterface(interfaceName);
      sender.Open();
    });
  }
  // Sent from inside the server's host, as its engine thread would.
  bool Send(const std::vector<std::byte>& datagram) {
    bool sent = false;
    lab_.In(host_, [&] { sent = sender.Send(datagram); });
    return sent;
  }
  const NetworkLab& lab_;
  int host_;
  CUdpSender sender;
};

TEST(UdpSocket, BroadcastsReachEveryClientOnTheLan) {
  NetworkLab lab(3);
  Client one(lab, 1, 8800);
  Client two(lab, 2, 8800);
  Server server(lab, 0, 8800);
  const auto datagram = Bytes(36);
  ASSERT_TRUE(server.Send(datagram));
  EXPECT_EQ(one.Next(), datagram);
  EXPECT_EQ(two.Next(), datagram);
  EXPECT_EQ(one.receiver->SenderAddress(), inet_addr(lab.Address(0).c_str()));
  EXPECT_EQ(one.receiver->LocalPort(), 8800);

  // Retargeted while it runs: the next datagram goes to the new port from the same socket.
  Client other(lab, 1, 8801);
  server.sender.SetDestinationPort(8801);
  ASSERT_TRUE(server.Send(Bytes(40, 9)));
  EXPECT_EQ(other.Next(), Bytes(40, 9));
  EXPECT_TRUE(one.Next(300ms).empty());
}

TEST(UdpSocket, AClientHearsOnlyTheNetworkOfItsChosenAddress) {
  NetworkLab lab(2);
  // A second network card on the client's host, on a network of its own.
  ASSERT_EQ(lab.Run(1, "ip link add eth1 type veth peer name eth1p"), 0);
  ASSERT_EQ(lab.Run(1, "ip addr add 10.198.0.1/24 dev eth1"), 0);
  ASSERT_EQ(lab.Run(1, "ip link set eth1 up"), 0);
  ASSERT_EQ(lab.Run(1, "ip link set eth1p up"), 0);
  Server server(lab, 0, 8800);
  {
    Client wrong(lab, 1, 8800, "10.198.0.1");
    ASSERT_TRUE(server.Send(Bytes(36)));
    EXPECT_TRUE(wrong.Next(500ms).empty()) << "a broadcast of another network is passed over";
  }
  Client right(lab, 1, 8800);
  ASSERT_TRUE(server.Send(Bytes(36)));
  EXPECT_EQ(right.Next(), Bytes(36));
}

TEST(UdpSocket, ATakenPortIsReportedAsInUse) {
  NetworkLab lab(1);
  lab.In(0, [&] {
    CUdpSocket holder;
    ASSERT_TRUE(holder.Create(8800, lab.Address(0).c_str()));
    CUdpReceiver receiver;
    try {
      receiver.Open(8800, inet_addr(lab.Address(0).c_str()));
      ADD_FAILURE() << "bind should have failed";
    } catch (const NetError& e) {
      EXPECT_STREQ(e.what(), "bind");
      EXPECT_EQ(e.Error(), EADDRINUSE);
    }
    EXPECT_EQ(holder.Close(true), 0);
    EXPECT_EQ(holder.Close(true), -1) << "closing twice does nothing";
  });
}

TEST(UdpSocket, TheInterruptComesBeforeWaitingDatagramsAndNothingIsLost) {
  NetworkLab lab(2);
  Client client(lab, 1, 8800);
  Server server(lab, 0, 8800);
  ASSERT_TRUE(server.Send({})); // an empty datagram never reads as an interrupt
  // A socket that never runs dry (a busy LAN) must not hold off the window's commands.
  for (std::uint8_t i = 1; i <= 50; ++i) ASSERT_TRUE(server.Send(Bytes(36, i)));
  std::this_thread::sleep_for(100ms);
  client.interrupt.Set();
  EXPECT_EQ(client.receiver->Receive(client.interrupt, false), 0) << "the interrupt first";
  // Resumed after the interrupt: every datagram that waited arrives once, in order.
  for (std::uint8_t i = 1; i <= 50; ++i) {
    ASSERT_EQ(client.receiver->Receive(client.interrupt, true), 36);
    EXPECT_EQ(client.receiver->Data(36)[0], std::byte{i});
  }
  EXPECT_TRUE(client.Next(300ms).empty());
}

TEST(UdpSocket, DatagramsLargerThanTheBufferArePassedOver) {
  NetworkLab lab(2);
  Client client(lab, 1, 8800);
  Server server(lab, 0, 8800);
  ASSERT_TRUE(server.Send(Bytes(10000)));
  ASSERT_TRUE(server.Send(Bytes(9999)));
  EXPECT_EQ(client.Next().size(), 9999U);
  EXPECT_EQ(client.receiver->Oversized(), 1U);
}

TEST(UdpSocket, ALanWithoutDefaultRouteIsStillReached) {
  NetworkLab lab(2, /*defaultRoute=*/false);
  Client client(lab, 1, 8800);
  Server routed(lab, 0, 8800);
  ASSERT_TRUE(routed.Send(Bytes(36))) << "falls back to the first local network";
  EXPECT_EQ(client.Next(), Bytes(36));
  // Later datagrams take the known way at once; all of them arrive, in order.
  for (std::uint8_t i = 0; i < 50; ++i) ASSERT_TRUE(routed.Send(Bytes(20, i)));
  for (std::uint8_t i = 0; i < 50; ++i) ASSERT_EQ(client.Next(), Bytes(20, i));
  Server named(lab, 0, 8800, "eth0");
  ASSERT_TRUE(named.Send(Bytes(37)));
  EXPECT_EQ(client.Next(), Bytes(37));
}

} // namespace
} // namespace kestrel::net
