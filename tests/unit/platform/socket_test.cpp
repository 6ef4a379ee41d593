#include "platform/socket.h"

#include <gtest/gtest.h>

#include <cstring>
#include <string>
#include <vector>

namespace {

using namespace platform;

class SocketTest : public ::testing::Test {
protected:
    void SetUp() override { ASSERT_EQ(netStartup(), 0); }
    void TearDown() override { netCleanup(); }

    // A UDP socket bound to a free loopback port.
    static Socket boundUdp(std::uint16_t& port) {
        Socket s = openUdp4();
        EXPECT_TRUE(s.valid());
        EXPECT_EQ(bindTo(s.get(), ipv4Address(kLoopbackIpv4, 0)), 0) << lastSocketError();
        port = localPort(s.get());
        EXPECT_NE(port, 0);
        return s;
    }
};

TEST_F(SocketTest, UdpDatagramCrossesLoopbackWhole) {
    std::uint16_t port = 0;
    Socket receiver = boundUdp(port);
    Socket sender = openUdp4();
    ASSERT_TRUE(sender.valid());

    // Larger than the 1024 bytes an old receive buffer held, well under the datagram limit.
    std::string payload(3000, 'x');
    payload.replace(0, 6, "<spot>");
    ASSERT_EQ(
        sendTo(sender.get(), payload.data(), payload.size(), ipv4Address(kLoopbackIpv4, port)),
        static_cast<long>(payload.size()));

    ASSERT_EQ(waitSocket(receiver.get(), true, false, 2000), 1);
    std::vector<char> buffer(65536);
    long n = receiveFrom(receiver.get(), buffer.data(), buffer.size());
    ASSERT_EQ(n, static_cast<long>(payload.size())) << socketErrorText(lastSocketError());
    EXPECT_EQ(std::string(buffer.data(), static_cast<std::size_t>(n)), payload);
}

TEST_F(SocketTest, EmptyNonBlockingSocketWouldBlockAndSelectTimesOut) {
    std::uint16_t port = 0;
    Socket s = boundUdp(port);
    ASSERT_TRUE(setNonBlocking(s.get(), true));

    char byte = 0;
    EXPECT_EQ(receiveFrom(s.get(), &byte, 1), -1);
    int error = lastSocketError();
    EXPECT_TRUE(isWouldBlock(error)) << error << " " << socketErrorText(error);
    EXPECT_FALSE(socketErrorText(error).empty());

    EXPECT_EQ(waitSocket(s.get(), true, false, 20), 0);
}

TEST_F(SocketTest, ClosedPortDoesNotPoisonTheNextReceive) {
    // A datagram to a port nobody listens on must not make a later read on the same
    // socket fail; the next datagram is received as usual.
    std::uint16_t closedPort = 0;
    { Socket gone = boundUdp(closedPort); }
    std::uint16_t port = 0;
    Socket s = boundUdp(port);
    ASSERT_EQ(sendTo(s.get(), "a", 1, ipv4Address(kLoopbackIpv4, closedPort)), 1);
    ASSERT_EQ(sendTo(s.get(), "b", 1, ipv4Address(kLoopbackIpv4, port)), 1);

    ASSERT_EQ(waitSocket(s.get(), true, false, 2000), 1);
    char byte = 0;
    EXPECT_EQ(receiveFrom(s.get(), &byte, 1), 1) << socketErrorText(lastSocketError());
    EXPECT_EQ(byte, 'b');
}

TEST_F(SocketTest, NonBlockingTcpConnectAcceptAndExchange) {
    Socket listener = openTcp4();
    ASSERT_TRUE(listener.valid());
    ASSERT_EQ(bindTo(listener.get(), ipv4Address(kLoopbackIpv4, 0)), 0);
    ASSERT_EQ(listenOn(listener.get(), 1), 0);
    std::uint16_t port = localPort(listener.get());
    ASSERT_NE(port, 0);

    Socket client = openTcp4();
    ASSERT_TRUE(client.valid());
    ASSERT_TRUE(setNonBlocking(client.get(), true));
    ASSERT_TRUE(setTcpNoDelay(client.get(), true));
    if (connectTo(client.get(), ipv4Address(kLoopbackIpv4, port)) != 0) {
        ASSERT_TRUE(isWouldBlock(lastSocketError())) << lastSocketError();
    }
    ASSERT_EQ(waitSocket(client.get(), false, true, 2000), 1);

    Socket server = acceptFrom(listener.get());
    ASSERT_TRUE(server.valid()) << socketErrorText(lastSocketError());

    ASSERT_EQ(sendSome(client.get(), "ping", 4), 4);
    ASSERT_EQ(waitSocket(server.get(), true, false, 2000), 1);
    char buffer[8] = {};
    ASSERT_EQ(receiveSome(server.get(), buffer, sizeof buffer), 4);
    EXPECT_EQ(std::string(buffer, 4), "ping");

    // An orderly close reads as end of stream.
    server.close();
    ASSERT_EQ(waitSocket(client.get(), true, false, 2000), 1);
    EXPECT_EQ(receiveSome(client.get(), buffer, sizeof buffer), 0);
}

TEST_F(SocketTest, ResolvesNumericLoopbackAndReportsUnknownNames) {
    std::vector<ResolvedAddress> found;
    ASSERT_EQ(resolve("127.0.0.1", "40001", Family::ipv4, Kind::stream, found), 0);
    ASSERT_FALSE(found.empty());
    Address expected = ipv4Address(kLoopbackIpv4, 40001);
    EXPECT_EQ(found[0].address.length, expected.length);
    EXPECT_EQ(std::memcmp(found[0].address.bytes, expected.bytes,
                          static_cast<std::size_t>(expected.length)),
              0);
    Socket s = openSocket(found[0].family, found[0].socktype, found[0].protocol);
    EXPECT_TRUE(s.valid());

    std::vector<ResolvedAddress> none;
    int rc = resolve("no-such-host.invalid", "40001", Family::ipv4, Kind::stream, none);
    EXPECT_NE(rc, 0);
    EXPECT_TRUE(none.empty());
    EXPECT_FALSE(resolveErrorText(rc).empty());
}

TEST_F(SocketTest, MovedSocketKeepsOneOwner) {
    Socket a = openUdp4();
    ASSERT_TRUE(a.valid());
    NativeSocket handle = a.get();
    Socket b(std::move(a));
    EXPECT_FALSE(a.valid());
    EXPECT_EQ(b.get(), handle);
    Socket c;
    c = std::move(b);
    EXPECT_FALSE(b.valid());
    EXPECT_EQ(c.get(), handle);
    EXPECT_EQ(bindTo(c.get(), ipv4Address(kLoopbackIpv4, 0)), 0);
}

} // namespace
