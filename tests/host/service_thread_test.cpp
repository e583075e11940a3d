#include "host/service_thread.h"

#include <gtest/gtest.h>

namespace {

TEST(ConfiguredPortNumber, NamesThePortOfTheAddressText) {
  struct Case {
    const char* address;
    int port;
  } cases[] = {
      {"8000", 8000},       {":8000", 8000}, {"127.0.0.1:8443", 8443}, {"tcp://8000", 8000},
      {"udp://1234", 1234}, {"8000x", 8000}, {"localhost:81", 81},     {"", 0},
      {"abc", 0},           {nullptr, 0},
  };
  for (const Case& c : cases) EXPECT_EQ(ConfiguredPortNumber(c.address), c.port) << c.address;
}

}  // namespace
