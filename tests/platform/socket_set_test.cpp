// Socket sets and select() as the platform gives them: the same rules for the
// poll loop on POSIX (a bitmap indexed by descriptor) and on Windows (a
// counted array of FD_SETSIZE sockets).
#include <gtest/gtest.h>

#include <vector>

#include "platform/platform.h"
#include "platform/socket.h"

namespace {

// Datagram sockets on loopback: cheap, and always writable.
struct Sockets {
  std::vector<sock_t> all;
  explicit Sockets(size_t n) {
    PlatformSocketStartup();
    for (size_t i = 0; i < n; i++) all.push_back(PlatformSocketOpen(AF_INET, SOCK_DGRAM, 0));
  }
  ~Sockets() {
    for (sock_t s : all) PlatformSocketClose(s);
  }
};

TEST(SocketSet, HoldsEachSocketOnceAndRefusesTheInvalidOne) {
  Sockets s(2);
  ASSERT_NE(s.all[0], kInvalidSocket);
  ASSERT_NE(s.all[1], kInvalidSocket);
  PlatformSocketSet set;
  PlatformSocketSetZero(&set);
  EXPECT_FALSE(PlatformSocketSetAdd(&set, kInvalidSocket));
  EXPECT_TRUE(PlatformSocketSetAdd(&set, s.all[0]));
  EXPECT_TRUE(PlatformSocketSetAdd(&set, s.all[0])) << "already in: still one place";
  EXPECT_TRUE(PlatformSocketSetHas(&set, s.all[0]));
  EXPECT_FALSE(PlatformSocketSetHas(&set, s.all[1]));
  EXPECT_FALSE(PlatformSocketSetHas(&set, kInvalidSocket));

  timeval tv{0, 0};
  EXPECT_EQ(PlatformSelect(s.all[0], nullptr, &set, nullptr, &tv), 1) << "counted once";
}

// Windows' select() refuses three empty sets at once; a poll pass with no
// socket to watch must still take its time instead of spinning.
TEST(SocketSet, EmptySetsStillWaitOutTheTimeOut) {
  PlatformSocketSet read_set, write_set;
  PlatformSocketSetZero(&read_set);
  PlatformSocketSetZero(&write_set);
  struct Case {
    PlatformSocketSet* read;
    PlatformSocketSet* write;
    const char* why;
  } cases[] = {
      {&read_set, &write_set, "empty sets"},
      {nullptr, nullptr, "no sets at all"},
  };
  for (const Case& c : cases) {
    const unsigned long long start = PlatformMonotonicMs();
    timeval tv{0, 150000};
    EXPECT_EQ(PlatformSelect(-1, c.read, c.write, nullptr, &tv), 0) << c.why;
    // A lower bound only, with room for a coarse clock: a busy machine can
    // only make the wait longer.
    EXPECT_GE(PlatformMonotonicMs() - start, 100u) << c.why;
  }
}

// A counted set (Windows) takes FD_SETSIZE sockets, whatever their numbers,
// and refuses the next one instead of dropping it unnoticed.
TEST(SocketSet, FullCountedSetRefusesTheNextSocket) {
  if (FD_SETSIZE > 64) {
    GTEST_SKIP() << "a descriptor bitmap: its limit is the descriptor number, not the count";
  }
  Sockets s(FD_SETSIZE + 1);
  PlatformSocketSet set;
  PlatformSocketSetZero(&set);
  for (int i = 0; i < FD_SETSIZE; i++) {
    ASSERT_NE(s.all[i], kInvalidSocket);
    ASSERT_TRUE(PlatformSocketSetAdd(&set, s.all[i])) << i;
  }
  EXPECT_FALSE(PlatformSocketSetAdd(&set, s.all[FD_SETSIZE]));
  EXPECT_FALSE(PlatformSocketSetHas(&set, s.all[FD_SETSIZE]));
  EXPECT_TRUE(PlatformSocketSetAdd(&set, s.all[0])) << "a member is still taken";
  timeval tv{0, 0};
  EXPECT_EQ(PlatformSelect(s.all[FD_SETSIZE], nullptr, &set, nullptr, &tv), FD_SETSIZE);
}

}  // namespace
