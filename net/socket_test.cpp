#include "net/socket.h"

#include <gtest/gtest.h>
#include <stdlib.h>

#include <chrono>
#include <thread>

namespace pmr::net {
namespace {

using namespace std::chrono_literals;

TEST(SocketTest, LoopbackExchangeAndAddresses) {
  Socket listener = Socket::Listen("127.0.0.1", 0);
  uint16_t port = listener.LocalPort();
  ASSERT_NE(port, 0);

  Socket client = Socket::Connect("127.0.0.1", port, 2s);
  Socket served = listener.Accept();
  EXPECT_EQ(served.PeerAddress(), "127.0.0.1");
  EXPECT_EQ(served.PeerPort(), client.LocalPort());
  EXPECT_EQ(client.PeerPort(), port);

  client.SendAll("hello");
  client.ShutdownSend();
  std::string got;
  char buffer[2];
  while (std::size_t n = served.Receive(buffer, sizeof buffer)) got.append(buffer, n);
  EXPECT_EQ(got, "hello");  // and then 0: a graceful close
}

TEST(SocketTest, ErrorsAreRecognisable) {
  Socket listener = Socket::Listen("127.0.0.1", 0);
  try {
    Socket second = Socket::Listen("127.0.0.1", listener.LocalPort());
    FAIL() << "a second listener took the port";
  } catch (const SocketError& e) {
    EXPECT_TRUE(e.IsAddressInUse()) << e.what();
  }

  Socket client = Socket::Connect("127.0.0.1", listener.LocalPort(), 2s);
  Socket served = listener.Accept();
  served.SetReceiveTimeout(100ms);
  char byte;
  try {
    served.Receive(&byte, 1);
    FAIL() << "receive returned without data";
  } catch (const SocketError& e) {
    EXPECT_TRUE(e.IsTimeout()) << e.what();
  }

  // A reset by the peer: close with unread data pending sends RST.
  served.SendAll("x");
  client.Close();
  try {
    for (int i = 0; i < 100; ++i) {
      served.SendAll(std::string(4096, 'z'));
      std::this_thread::sleep_for(1ms);
    }
    FAIL() << "sending to a closed peer kept succeeding";
  } catch (const SocketError& e) {
    EXPECT_TRUE(e.IsAbortedOrReset()) << e.what();
  }
}

TEST(SocketTest, ConnectFromAGivenSourceAddress) {
  Socket listener = Socket::Listen("127.0.0.1", 0);
  Socket client = Socket::Connect("127.0.0.1", listener.LocalPort(), 2s, "127.0.0.7");
  Socket served = listener.Accept();
  EXPECT_EQ(served.PeerAddress(), "127.0.0.7");
  EXPECT_EQ(client.LocalAddress(), "127.0.0.7");
  EXPECT_THROW(Socket::Connect("127.0.0.1", listener.LocalPort(), 2s, "not an address"),
               SocketError);
}

TEST(SocketTest, ConnectToClosedPortFails) {
  uint16_t port;
  {
    Socket listener = Socket::Listen("127.0.0.1", 0);
    port = listener.LocalPort();
  }
  EXPECT_THROW(Socket::Connect("127.0.0.1", port, 2s), SocketError);
}

TEST(SocketTest, InterruptWakesBlockedAccept) {
  Socket listener = Socket::Listen("127.0.0.1", 0);
  std::thread waker([&] {
    std::this_thread::sleep_for(50ms);
    listener.Interrupt();
  });
  try {
    listener.Accept();
    ADD_FAILURE() << "accept returned a connection";
  } catch (const SocketError& e) {
    EXPECT_TRUE(e.IsClosed()) << e.what();
  }
  waker.join();
}

TEST(SocketTest, AcceptForTimesOut) {
  Socket listener = Socket::Listen("127.0.0.1", 0);
  EXPECT_FALSE(listener.AcceptFor(20ms).valid());
}

TEST(SocketTest, OwnAddressHonoursOverride) {
  ::setenv("PMRFACE_HOST_ADDRESS", "127.0.0.9", 1);
  EXPECT_EQ(OwnAddress(), "127.0.0.9");
  ::unsetenv("PMRFACE_HOST_ADDRESS");
  EXPECT_EQ(ResolveIPv4("127.0.0.5"), std::vector<std::string>{"127.0.0.5"});
  EXPECT_THROW(ResolveIPv4("no-such-host.invalid"), SocketError);
}

}  // namespace
}  // namespace pmr::net
