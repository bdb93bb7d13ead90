// The socket library against real peers on loopback: datagrams with their
// local side, truncation, stream connections, waits that must end.
#include <net/if.h>

#include <gtest/gtest.h>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <cstring>
#include <string>
#include <thread>
#include <vector>

#include "net/Interfaces.h"
#include "net/Socket.h"
#include "support/NetGuard.h"

using net::Datagram;
using net::Endpoint;
using net::LocalSide;
using net::Socket;
using Clock = std::chrono::steady_clock;
using namespace std::chrono_literals;

namespace {

uint32_t Ip(const char* text) {
  uint32_t ip = 0;
  EXPECT_TRUE(net::ParseIpv4(text, &ip)) << text;
  return ip;
}

long long MsSince(Clock::time_point start) {
  return std::chrono::duration_cast<std::chrono::milliseconds>(Clock::now() - start).count();
}

// A UDP socket bound to address:any port.
Socket UdpOn(const char* address) {
  Socket s;
  EXPECT_EQ(s.OpenUdp(), 0);
  EXPECT_EQ(s.Bind({Ip(address), 0}), 0) << address;
  return s;
}

// Waits up to a second for one datagram.
int ReceiveWithin(Socket& s, void* buffer, size_t capacity, Datagram* d) {
  bool ready = false;
  if (int err = s.WaitReadable(1000, &ready)) return err;
  if (!ready) return ETIMEDOUT;
  return s.ReceiveFrom(buffer, capacity, d);
}

class NetSocket : public ::testing::Test {
 protected:
  void SetUp() override { QUILL_REQUIRE_PRIVATE_NETWORK(); }
};

}  // namespace

TEST(NetAddress, FormatAndParse) {
  struct Case {
    const char* text;
    uint8_t bytes[4];
  };
  for (const Case& c : {Case{"0.0.0.0", {0, 0, 0, 0}}, Case{"10.0.0.5", {10, 0, 0, 5}},
                        Case{"192.168.1.10", {192, 168, 1, 10}},
                        Case{"255.255.255.255", {255, 255, 255, 255}}}) {
    SCOPED_TRACE(c.text);
    uint32_t wire = 0;
    std::memcpy(&wire, c.bytes, 4);  // network byte order as it travels
    EXPECT_EQ(net::FormatIpv4(wire), c.text);
    uint32_t parsed = 1;
    ASSERT_TRUE(net::ParseIpv4(c.text, &parsed));
    EXPECT_EQ(parsed, wire);
    uint32_t resolved = 1;
    EXPECT_EQ(net::ResolveIpv4(c.text, &resolved), 0);
    EXPECT_EQ(resolved, wire);
  }
  for (const char* bad : {"", "1.2.3", "256.1.1.1", "a.b.c.d", "1.2.3.4 ", "1.2.3.4.5"}) {
    uint32_t untouched = 7;
    EXPECT_FALSE(net::ParseIpv4(bad, &untouched)) << bad;
    EXPECT_EQ(untouched, 7u) << bad;
  }
}

TEST_F(NetSocket, DatagramsCarryTheirSenderAndEmptyQueueIsEagain) {
  Socket a = UdpOn("127.0.0.1");
  Socket b = UdpOn("127.0.0.3");
  char buffer[64];
  Datagram d;
  EXPECT_EQ(b.ReceiveFrom(buffer, sizeof buffer, &d), EAGAIN) << "sockets do not block by default";
  ASSERT_EQ(a.SendTo("hello", 5, {Ip("127.0.0.3"), b.LocalPort()}), 0);
  ASSERT_EQ(ReceiveWithin(b, buffer, sizeof buffer, &d), 0);
  EXPECT_EQ(std::string(buffer, d.size), "hello");
  EXPECT_EQ(d.from, (Endpoint{Ip("127.0.0.1"), a.LocalPort()}));
  EXPECT_EQ(d.to.ip, 0u) << "no local side unless asked for";
}

TEST_F(NetSocket, TruncatedDatagramIsEmsgsizeAndConsumed) {
  Socket a = UdpOn("127.0.0.1");
  Socket b = UdpOn("127.0.0.1");
  const Endpoint to{Ip("127.0.0.1"), b.LocalPort()};
  ASSERT_EQ(a.SendTo("0123456789", 10, to), 0);
  ASSERT_EQ(a.SendTo("abcd", 4, to), 0);
  char buffer[4];
  Datagram d;
  ASSERT_EQ(ReceiveWithin(b, buffer, sizeof buffer, &d), EMSGSIZE);
  EXPECT_EQ(std::string(buffer, d.size), "0123") << "the head is there for a caller that wants it";
  EXPECT_EQ(d.from.port, a.LocalPort());
  // Exactly the buffer's size is no truncation; the long one is gone.
  ASSERT_EQ(ReceiveWithin(b, buffer, sizeof buffer, &d), 0);
  EXPECT_EQ(std::string(buffer, d.size), "abcd");

  // The same rule holds for the receive with the caller's ancillary room.
  ASSERT_EQ(a.SendTo("0123456789", 10, to), 0);
  bool ready = false;
  ASSERT_EQ(b.WaitReadable(1000, &ready), 0);
  char control[64];
  size_t controlSize = sizeof control;
  EXPECT_EQ(b.ReceiveMessage(buffer, sizeof buffer, &d, control, &controlSize), EMSGSIZE);
}

TEST_F(NetSocket, PacketInfoTellsTheAddressCalled) {
  Socket any = UdpOn("0.0.0.0");
  ASSERT_EQ(any.EnablePacketInfo(), 0);
  Socket sender = UdpOn("127.0.0.1");
  char buffer[16];
  Datagram d;
  for (const char* called : {"127.0.0.5", "127.0.0.77", "127.0.0.1"}) {
    SCOPED_TRACE(called);
    ASSERT_EQ(sender.SendTo("x", 1, {Ip(called), any.LocalPort()}), 0);
    ASSERT_EQ(ReceiveWithin(any, buffer, sizeof buffer, &d), 0);
    EXPECT_EQ(d.to.ip, Ip(called));
    EXPECT_EQ(d.to.interfaceIndex, if_nametoindex("lo"));
  }
}

TEST_F(NetSocket, PacketInfoChoosesTheSourceOrFallsBackToRouting) {
  Socket any = UdpOn("0.0.0.0");  // unbound address: the kernel picks a source
  Socket receiver = UdpOn("127.0.0.1");
  const Endpoint to{Ip("127.0.0.1"), receiver.LocalPort()};
  char buffer[16];
  Datagram d;
  struct Case {
    const char* name;
    LocalSide from;
    uint32_t seen;
  };
  const unsigned lo = if_nametoindex("lo");
  for (const Case& c : {Case{"own address", {Ip("127.0.0.9"), 0}, Ip("127.0.0.9")},
                        Case{"own address and interface", {Ip("127.0.0.10"), lo}, Ip("127.0.0.10")},
                        Case{"interface only", {0, lo}, Ip("127.0.0.1")},
                        Case{"no preference", {}, Ip("127.0.0.1")},
                        // Routed here (the sink) but no address of ours.
                        Case{"foreign address", {Ip("10.200.0.9"), 0}, Ip("127.0.0.1")},
                        Case{"unrouted address", {Ip("192.0.2.1"), 0}, Ip("127.0.0.1")},
                        Case{"broadcast address", {Ip("255.255.255.255"), 0}, Ip("127.0.0.1")}}) {
    SCOPED_TRACE(c.name);
    ASSERT_EQ(any.SendTo("y", 1, to, c.from), 0);
    ASSERT_EQ(ReceiveWithin(receiver, buffer, sizeof buffer, &d), 0);
    EXPECT_EQ(d.from.ip, c.seen);
  }
}

TEST_F(NetSocket, ReceiveBufferGrowsOnRequest) {
  Socket small = UdpOn("127.0.0.1");
  Socket large = UdpOn("127.0.0.1");
  int smallGrant = 0, largeGrant = 0, asked = 0;
  ASSERT_EQ(small.SetReceiveBuffer(4096, &smallGrant), 0);
  ASSERT_EQ(large.SetReceiveBuffer(8 * 1024 * 1024, &largeGrant), 0);
  EXPECT_GT(largeGrant, smallGrant);
  ASSERT_EQ(large.ReceiveBufferSize(&asked), 0);
  EXPECT_EQ(asked, largeGrant);
  Socket closed;
  EXPECT_EQ(closed.SetReceiveBuffer(4096), EBADF);
}

TEST_F(NetSocket, StreamConnectAcceptAndBothDirections) {
  Socket listener;
  ASSERT_EQ(listener.OpenTcp(), 0);
  ASSERT_EQ(listener.SetReuseAddress(true), 0);
  ASSERT_EQ(listener.Bind({Ip("127.0.0.4"), 0}), 0);
  ASSERT_EQ(listener.Listen(4), 0);
  Socket pending;
  EXPECT_EQ(listener.Accept(&pending), EAGAIN) << "a non-blocking listener does not wait";

  Socket client;
  ASSERT_EQ(client.OpenTcp(), 0);
  ASSERT_EQ(client.Bind({Ip("127.0.0.6"), 0}), 0);
  ASSERT_EQ(client.Connect({Ip("127.0.0.4"), listener.LocalPort()}, Clock::now() + 2s, 50), 0);
  bool ready = false;
  ASSERT_EQ(listener.WaitReadable(1000, &ready), 0);
  ASSERT_TRUE(ready);
  Socket server;
  Endpoint peer;
  ASSERT_EQ(listener.Accept(&server, &peer), 0);
  EXPECT_EQ(peer, (Endpoint{Ip("127.0.0.6"), client.LocalPort()}));
  Endpoint local, remote;
  ASSERT_EQ(server.LocalAddress(&local), 0);
  ASSERT_EQ(client.PeerAddress(&remote), 0);
  EXPECT_EQ(local, remote);
  EXPECT_EQ(server.SetNoDelay(true), 0);

  const std::string big(3 * 1024 * 1024, 'q');  // more than the socket buffers hold
  std::string got;
  std::thread reader([&] {
    char chunk[65536];
    size_t n = 0;
    while (got.size() < big.size() && server.Recv(chunk, sizeof chunk, &n) == 0 && n > 0)
      got.append(chunk, n);
  });
  EXPECT_EQ(client.SendAll(big.data(), big.size()), 0) << "non-blocking, yet written whole";
  reader.join();
  EXPECT_EQ(got, big);

  // A reset instead of an orderly end reaches the peer as such.
  client.Abort();
  EXPECT_FALSE(client.IsOpen());
  ASSERT_EQ(server.WaitReadable(1000, &ready), 0);
  char c;
  size_t n = 0;
  EXPECT_EQ(server.Recv(&c, 1, &n), ECONNRESET);
}

TEST_F(NetSocket, ConnectEndsByRefusalDeadlineOrCaller) {
  uint16_t closedPort = 0;
  {
    Socket t;
    ASSERT_EQ(t.OpenTcp(), 0);
    ASSERT_EQ(t.Bind({Ip("127.0.0.1"), 0}), 0);
    closedPort = t.LocalPort();
  }
  Socket s;
  ASSERT_EQ(s.OpenTcp(), 0);
  auto start = Clock::now();
  EXPECT_EQ(s.Connect({Ip("127.0.0.1"), closedPort}, Clock::now() + 2s, 50), ECONNREFUSED);
  EXPECT_LT(MsSince(start), 500);

  ASSERT_EQ(s.OpenTcp(), 0);
  start = Clock::now();
  EXPECT_EQ(s.Connect({Ip("10.200.0.2"), 80}, Clock::now() + 300ms, 50), ETIMEDOUT);
  EXPECT_GE(MsSince(start), 290);
  EXPECT_LT(MsSince(start), 1500);

  ASSERT_EQ(s.OpenTcp(), 0);
  int asked = 0;
  start = Clock::now();
  EXPECT_EQ(s.Connect({Ip("10.200.0.2"), 80}, Clock::time_point::max(), 20,
                      [&] { return ++asked < 5; }),
            ECANCELED);
  EXPECT_EQ(asked, 5);
  EXPECT_LT(MsSince(start), 1000);
}

TEST_F(NetSocket, ShutdownEndsAWaitInAnotherThread) {
  Socket listener;
  ASSERT_EQ(listener.OpenTcp(net::Blocking::Yes), 0);
  ASSERT_EQ(listener.Bind({Ip("127.0.0.1"), 0}), 0);
  ASSERT_EQ(listener.Listen(1), 0);
  int acceptResult = -1;
  std::thread blocked([&] {
    Socket none;
    acceptResult = listener.Accept(&none);
  });
  std::this_thread::sleep_for(100ms);
  EXPECT_EQ(listener.Shutdown(), 0);
  blocked.join();
  EXPECT_EQ(acceptResult, EINVAL);
  EXPECT_TRUE(listener.IsOpen()) << "the owner still releases the descriptor";
  Socket never;
  EXPECT_EQ(never.Shutdown(), 0);
}

TEST_F(NetSocket, WaitOverSeveralSocketsNamesTheReadyOnes) {
  Socket a = UdpOn("127.0.0.1");
  Socket b = UdpOn("127.0.0.2");
  Socket c = UdpOn("127.0.0.3");
  Socket sender = UdpOn("127.0.0.1");
  std::vector<size_t> ready{99};
  auto start = Clock::now();
  ASSERT_EQ(net::WaitAnyReadable({&a, &b, &c}, 100, &ready), 0);
  EXPECT_TRUE(ready.empty());
  EXPECT_GE(MsSince(start), 90);
  ASSERT_EQ(sender.SendTo("1", 1, {Ip("127.0.0.2"), b.LocalPort()}), 0);
  ASSERT_EQ(sender.SendTo("2", 1, {Ip("127.0.0.3"), c.LocalPort()}), 0);
  std::this_thread::sleep_for(50ms);
  ASSERT_EQ(net::WaitAnyReadable({&a, &b, &c}, 1000, &ready), 0);
  EXPECT_EQ(ready, (std::vector<size_t>{1, 2}));
  // Nothing to watch still waits its time, so a loop around it never spins.
  start = Clock::now();
  ASSERT_EQ(net::WaitAnyReadable({}, 50, &ready), 0);
  EXPECT_GE(MsSince(start), 45);
}

TEST_F(NetSocket, ClosedSocketFailsInsteadOfSleeping) {
  Socket s = UdpOn("127.0.0.1");
  const int fd = s.Fd();
  Socket moved(std::move(s));
  EXPECT_FALSE(s.IsOpen());
  EXPECT_EQ(moved.Fd(), fd);
  moved.Close();
  bool ready = true;
  const auto start = Clock::now();
  EXPECT_EQ(moved.WaitReadable(500, &ready), EBADF);
  EXPECT_FALSE(ready);
  EXPECT_LT(MsSince(start), 100);
  std::vector<size_t> which;
  EXPECT_EQ(net::WaitAnyReadable({&moved}, 500, &which), EBADF);
}

TEST_F(NetSocket, StreamPairHalfCloseLetsThePeerReadToTheEndAndStillAnswer) {
  Socket reader, peer;
  ASSERT_EQ(net::MakeStreamPair(&reader, &peer, net::Blocking::No), 0);
  ASSERT_EQ(peer.SendAll("220 hi\r\n", 8), 0);
  ASSERT_EQ(peer.ShutdownSend(), 0);
  char buffer[16];
  size_t got = 0;
  ASSERT_EQ(reader.Recv(buffer, sizeof buffer, &got), 0);
  EXPECT_EQ(std::string(buffer, got), "220 hi\r\n");
  ASSERT_EQ(reader.Recv(buffer, sizeof buffer, &got), 0);
  EXPECT_EQ(got, 0u) << "end of stream after the half close";
  // The other direction stays open.
  ASSERT_EQ(reader.SendAll("user x\r\n", 8), 0);
  ASSERT_EQ(peer.Recv(buffer, sizeof buffer, &got), 0);
  EXPECT_EQ(std::string(buffer, got), "user x\r\n");
  // Non-blocking as asked: an empty queue is EAGAIN, not a wait.
  EXPECT_EQ(peer.Recv(buffer, sizeof buffer, &got), EAGAIN);
  Socket never;
  EXPECT_EQ(never.ShutdownSend(), 0);
}

TEST_F(NetSocket, ReceiveManyTakesABurstInOrderWithEachDatagramsFacts) {
  Socket receiver = UdpOn("0.0.0.0");
  ASSERT_EQ(receiver.EnablePacketInfo(), 0);
  Socket sender = UdpOn("127.0.0.1");
  std::vector<char> buffers(200 * 8);
  std::vector<net::DatagramSlot> slots(200);
  for (size_t i = 0; i < slots.size(); ++i) slots[i] = {&buffers[i * 8], 8, {}, -1};
  size_t filled = 99;
  EXPECT_EQ(receiver.ReceiveMany(slots.data(), slots.size(), &filled), EAGAIN);
  EXPECT_EQ(filled, 0u);

  // More than one batch of the call, and a datagram too long for its slot
  // in the middle.
  const Endpoint to{Ip("127.0.0.7"), receiver.LocalPort()};
  for (int i = 0; i < 150; ++i) {
    const std::string text = i == 70 ? "much too long" : std::to_string(i);
    ASSERT_EQ(sender.SendTo(text.data(), text.size(), to), 0);
  }
  bool ready = false;
  ASSERT_EQ(receiver.WaitReadable(1000, &ready), 0);
  ASSERT_EQ(receiver.ReceiveMany(slots.data(), slots.size(), &filled), 0);
  ASSERT_EQ(filled, 150u) << "the whole burst in one call";
  for (size_t i = 0; i < filled; ++i) {
    SCOPED_TRACE(i);
    const net::DatagramSlot& s = slots[i];
    if (i == 70) {
      EXPECT_EQ(s.error, EMSGSIZE) << "a head must never pass for a whole datagram";
      EXPECT_EQ(std::string(&buffers[i * 8], s.got.size), "much too") << "its head is kept";
      continue;
    }
    EXPECT_EQ(s.error, 0);
    EXPECT_EQ(std::string(&buffers[i * 8], s.got.size), std::to_string(i));
    EXPECT_EQ(s.got.from, (Endpoint{Ip("127.0.0.1"), sender.LocalPort()}));
    EXPECT_EQ(s.got.to.ip, Ip("127.0.0.7"));
    EXPECT_EQ(s.got.to.interfaceIndex, if_nametoindex("lo"));
  }
  EXPECT_EQ(receiver.ReceiveMany(slots.data(), slots.size(), &filled), EAGAIN) << "all were taken";

  // Fewer slots than datagrams: the rest wait for the next call.
  for (int i = 0; i < 5; ++i) ASSERT_EQ(sender.SendTo("z", 1, to), 0);
  ASSERT_EQ(receiver.WaitReadable(1000, &ready), 0);
  std::this_thread::sleep_for(20ms);
  ASSERT_EQ(receiver.ReceiveMany(slots.data(), 3, &filled), 0);
  EXPECT_EQ(filled, 3u);
  ASSERT_EQ(receiver.ReceiveMany(slots.data(), 3, &filled), 0);
  EXPECT_EQ(filled, 2u);
}

TEST_F(NetSocket, DuplicateReceivesForTheOwnerAndShutdownWakesItsWait) {
  Socket owner = UdpOn("127.0.0.1");
  Socket copy;
  ASSERT_EQ(owner.Duplicate(&copy), 0);
  EXPECT_NE(copy.Fd(), owner.Fd());
  Socket sender = UdpOn("127.0.0.1");
  ASSERT_EQ(sender.SendTo("d", 1, {Ip("127.0.0.1"), owner.LocalPort()}), 0);
  char buffer[8];
  Datagram d;
  ASSERT_EQ(ReceiveWithin(copy, buffer, sizeof buffer, &d), 0) << "one socket, two descriptors";

  // A thread waiting on the copy wakes when the copy is shut down; the
  // owner's descriptor stays open for its owner to release.
  bool woke = false;
  std::thread waiter([&] {
    bool ready = false;
    copy.WaitReadable(5000, &ready);
    woke = ready;
  });
  std::this_thread::sleep_for(50ms);
  const auto start = Clock::now();
  EXPECT_EQ(copy.Shutdown(), 0);
  waiter.join();
  EXPECT_TRUE(woke);
  EXPECT_LT(MsSince(start), 1000);
  EXPECT_TRUE(owner.IsOpen());
  Socket none;
  EXPECT_EQ(none.Duplicate(&copy), EBADF);
}

TEST_F(NetSocket, AnInterfaceAskedForIsNeverSwappedForAnother) {
  Socket any = UdpOn("0.0.0.0");
  Socket receiver = UdpOn("127.0.0.1");
  const Endpoint to{Ip("127.0.0.1"), receiver.LocalPort()};
  // No interface has this index: the send fails rather than leaving
  // wherever the routing would send it.
  EXPECT_NE(any.SendTo("n", 1, to, {0, 999999}), 0);
  // A foreign source address is dropped, the interface kept.
  const unsigned lo = if_nametoindex("lo");
  ASSERT_EQ(any.SendTo("k", 1, to, {Ip("192.0.2.1"), lo}), 0);
  char buffer[8];
  Datagram d;
  ASSERT_EQ(ReceiveWithin(receiver, buffer, sizeof buffer, &d), 0);
  EXPECT_EQ(std::string(buffer, d.size), "k");
  EXPECT_EQ(ReceiveWithin(receiver, buffer, sizeof buffer, &d), ETIMEDOUT) << "sent once only";
}

TEST_F(NetSocket, InterfaceListHasLoopbackButItCarriesNoBroadcast) {
  std::vector<net::Interface> list;
  ASSERT_EQ(net::ListIpv4Interfaces(&list), 0);
  const auto lo = std::find_if(list.begin(), list.end(), [](const net::Interface& i) { return i.name == "lo"; });
  ASSERT_NE(lo, list.end());
  EXPECT_EQ(lo->index, if_nametoindex("lo"));
  EXPECT_EQ(lo->address, Ip("127.0.0.1"));
  EXPECT_EQ(lo->mask, Ip("255.0.0.0"));
  EXPECT_TRUE(lo->up && lo->loopback);
  EXPECT_FALSE(lo->CarriesBroadcast());
  EXPECT_EQ(net::InterfaceIndex("lo"), lo->index);
  EXPECT_EQ(net::InterfaceName(lo->index), "lo");
  EXPECT_EQ(net::InterfaceIndex("no-such-if"), 0u);
  EXPECT_EQ(net::InterfaceName(999999), "");
}

TEST_F(NetSocket, AReusePortGroupDealsOneSendersDatagramsOutAndTakesABroadcastOnce) {
  // The first member takes a port of its own and opens it to the others
  // only then.
  std::vector<Socket> group;
  group.push_back(UdpOn("0.0.0.0"));
  ASSERT_EQ(group[0].SetReusePort(true), 0);
  const uint16_t port = group[0].LocalPort();
  for (int i = 0; i < 3; ++i) {
    Socket s;
    ASSERT_EQ(s.OpenUdp(), 0);
    ASSERT_EQ(s.SetReusePort(true), 0);
    ASSERT_EQ(s.IgnoreBroadcasts(), 0);
    ASSERT_EQ(s.Bind({0, port}), 0) << "joins the group on the port";
    group.push_back(std::move(s));
  }
  ASSERT_EQ(group.back().SpreadGroupAtRandom(4), 0);
  Socket outsider;
  ASSERT_EQ(outsider.OpenUdp(), 0);
  EXPECT_NE(outsider.Bind({0, port}), 0) << "a socket that did not ask to share cannot join";

  Socket sender;
  ASSERT_EQ(sender.OpenUdp(), 0);
  ASSERT_EQ(sender.SetBroadcast(true), 0);
  constexpr int kUnicast = 400;
  for (int i = 0; i < kUnicast; ++i) ASSERT_EQ(sender.SendTo("u", 1, {Ip("127.0.0.1"), port}), 0);
  ASSERT_EQ(sender.SendTo("b", 1, {0xFFFFFFFFu, port}), 0);
  std::this_thread::sleep_for(100ms);

  int unicast = 0;
  std::vector<char> buffers(kUnicast * 2);
  std::vector<net::DatagramSlot> slots(kUnicast + 1);
  for (size_t i = 0; i < slots.size(); ++i) slots[i] = {&buffers[i], 1, {}, -1};
  for (size_t m = 0; m < group.size(); ++m) {
    SCOPED_TRACE(m);
    size_t filled = 0;
    ASSERT_EQ(group[m].ReceiveMany(slots.data(), slots.size(), &filled), 0);
    const auto broadcasts =
        std::count_if(slots.begin(), slots.begin() + static_cast<long>(filled),
                      [](const net::DatagramSlot& s) { return *static_cast<char*>(s.buffer) == 'b'; });
    // A sender's datagrams would all meet in one member by the group's
    // own hash; at random, each of four gets some of 400.
    EXPECT_GT(filled - static_cast<size_t>(broadcasts), 0u);
    unicast += static_cast<int>(filled) - static_cast<int>(broadcasts);
    // Every member gets a copy of a broadcast unless it ignores them.
    EXPECT_EQ(broadcasts, m == 0 ? 1 : 0);
  }
  EXPECT_EQ(unicast, kUnicast);
}
