#include "net/buffered_reader.h"

#include <gtest/gtest.h>

#include <chrono>
#include <optional>
#include <string>
#include <thread>

namespace pmr::net {
namespace {

using namespace std::chrono_literals;
using Clock = BufferedReader::Clock;
using Wait = BufferedReader::Wait;

// Two connected ends on loopback.
struct Pair {
  Pair() {
    Socket listener = Socket::Listen("127.0.0.1", 0);
    peer = Socket::Connect("127.0.0.1", listener.LocalPort(), 2s);
    ours = listener.Accept();
  }
  Socket peer;
  Socket ours;
};

// Far enough away never to pass in a passing test.
Wait Soon() { return Wait::Until(Clock::now() + 10s); }

TEST(BufferedReaderTest, ReadsSplitAcrossPiecesAndLeavesTheRestBuffered) {
  Pair pair;
  std::string storage;
  std::thread sender([&] {
    for (std::string_view piece : {"GET / HT", "TP/1.1\r", "\nbare\nkeep\r\r\n12", "34567", "89"}) {
      pair.peer.SendAll(piece);
      std::this_thread::sleep_for(20ms);
    }
    pair.peer.ShutdownSend();
  });
  {
    // Pieces of 4 bytes make every read span several receives.
    BufferedReader reader(pair.ours, storage, 4);
    EXPECT_EQ(reader.ReadLine({}, Soon()), "GET / HTTP/1.1");
    EXPECT_EQ(reader.ReadLine({}, Soon()), "bare");
    EXPECT_EQ(reader.ReadLine({100, /*strip_cr=*/false}, Soon()), "keep\r\r");
    std::string out = "x";
    EXPECT_TRUE(reader.ReadExact(3, out, Soon()));
    EXPECT_EQ(out, "x123");
    EXPECT_TRUE(reader.HasBuffered());
  }
  // A reader gone keeps what it had not handed out in the caller's storage.
  EXPECT_FALSE(storage.empty());
  BufferedReader reader(pair.ours, storage, 4);
  std::string out;
  EXPECT_FALSE(reader.ReadExact(9, out, Soon()));
  EXPECT_EQ(out, "456789");
  EXPECT_TRUE(reader.closed());
  EXPECT_EQ(reader.ReadLine({}, Soon()), std::nullopt);
  sender.join();
}

TEST(BufferedReaderTest, CapsEndLinesFinishedOrNot) {
  Pair pair;
  pair.peer.SendAll("12345\r\n123456\n12345\r\n");
  BufferedReader reader(pair.ours);
  EXPECT_EQ(reader.ReadLine({5}, Soon()), "12345");
  EXPECT_THROW(reader.ReadLine({5}, Soon()), LineTooLongError);
  std::string skipped;
  ASSERT_TRUE(reader.ReadExact(7, skipped, Soon()));
  // Without CR stripping the CR counts towards the cap.
  EXPECT_THROW(reader.ReadLine({5, /*strip_cr=*/false}, Soon()), LineTooLongError);
  EXPECT_EQ(reader.ReadLine({6, /*strip_cr=*/false}, Soon()), "12345\r");

  // An unfinished line one byte over the cap may still end in CR LF; two bytes over, it fails
  // at once, without waiting for its LF.
  pair.peer.SendAll("123456");
  EXPECT_THROW(reader.ReadLine({5}, Wait::Until(Clock::now() + 100ms)), SocketError);
  pair.peer.SendAll("7");
  EXPECT_THROW(reader.ReadLine({5}, Soon()), LineTooLongError);
}

TEST(BufferedReaderTest, WaitsEndWithTimeoutErrors) {
  Pair pair;
  BufferedReader reader(pair.ours);
  pair.peer.SendAll("part");
  const auto start = Clock::now();
  try {
    reader.ReadLine({}, Wait::Until(start + 150ms));
    FAIL() << "no time-out";
  } catch (const SocketError& e) {
    EXPECT_TRUE(e.IsTimeout());
    EXPECT_STREQ(e.what(), "Read timed out.");
  }
  EXPECT_GE(Clock::now() - start, 150ms);
  EXPECT_TRUE(reader.HasBuffered());

  // What came before the time-out is handed out.
  std::string out;
  EXPECT_THROW(reader.ReadExact(10, out, Wait::Idle(50ms)), SocketError);
  EXPECT_EQ(out, "part");

  pair.ours.SetReceiveTimeout(50ms);
  try {
    reader.ReadToClose(out, 100, Wait::SocketTimeout(50ms));
    FAIL() << "no time-out";
  } catch (const SocketError& e) {
    EXPECT_TRUE(e.IsTimeout());
    EXPECT_STREQ(e.what(), "Read timed out after 50 ms.");
  }

  pair.peer.SendAll(std::string(200, 'x'));
  out.clear();
  EXPECT_FALSE(reader.ReadToClose(out, 100, Soon()));
  EXPECT_GT(out.size(), 100u);
}

}  // namespace
}  // namespace pmr::net
