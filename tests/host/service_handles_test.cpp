// The service-handle table: life of a slot, release of its buffers, and the
// console lines at trace level 99.
#include "host/service_handles.h"

#include <gtest/gtest.h>
#include <stdlib.h>

#include <string>
#include <vector>

#include "base/trace_log.h"

namespace {

class ServiceHandlesTest : public ::testing::Test {
 protected:
  void SetUp() override { TraceLogConfigure(0, ""); }
  void TearDown() override { TraceLogConfigure(0, ""); }
};

TEST_F(ServiceHandlesTest, FreshTableIsEmptyAndTicksChangeNothing) {
  ServiceHandleTable* table = InitUIDAIServices(kServiceHandleSlots);
  ASSERT_NE(table, nullptr);
  EXPECT_EQ(table->count, 32);
  for (int tick = 0; tick < 3; tick++) TickUIDAIServices(table, 1000);
  for (int i = 0; i < table->count; i++) {
    const ServiceHandle& slot = table->slots[i];
    EXPECT_EQ(slot.in_use, 0);
    EXPECT_EQ(slot.time_left_ms, 0u);
    EXPECT_EQ(slot.item_count, 0);
    for (const ServiceHandleItem& item : slot.items) EXPECT_EQ(item.data, nullptr);
  }
  FreeUIDAIServices(table);
  TickUIDAIServices(nullptr, 1000);
}

TEST_F(ServiceHandlesTest, SlotCountsDownAndIsReleasedWithItsBuffers) {
  struct Case {
    uint32_t time_left;
    std::vector<uint32_t> left_after_ticks;  // until the slot goes
    const char* why;
  } cases[] = {
      {2500, {1500, 500}, "released on the third tick"},
      {1000, {0}, "reaching zero, released on the following tick"},
      {999, {}, "less than one tick"},
      {0, {}, "nothing left"},
  };
  for (const Case& c : cases) {
    ServiceHandleTable* table = InitUIDAIServices(4);
    ASSERT_NE(table, nullptr);
    ServiceHandle& slot = table->slots[2];
    slot.in_use = 1;
    slot.owner = 9;
    slot.time_left_ms = c.time_left;
    slot.item_count = 2;
    slot.items[0].data = malloc(100);
    slot.items[10].data = malloc(5);
    slot.items[10].size = 5;
    for (uint32_t left : c.left_after_ticks) {
      TickUIDAIServices(table, 1000);
      EXPECT_EQ(slot.in_use, 1) << c.why;
      EXPECT_EQ(slot.time_left_ms, left) << c.why;
    }
    TickUIDAIServices(table, 1000);
    EXPECT_EQ(slot.in_use, 0) << c.why;
    EXPECT_EQ(slot.owner, 0);
    EXPECT_EQ(slot.item_count, 0);
    EXPECT_EQ(slot.items[0].data, nullptr);
    EXPECT_EQ(slot.items[10].data, nullptr);
    EXPECT_EQ(slot.items[10].size, 0);
    FreeUIDAIServices(table);  // LeakSanitizer checks the buffers went
  }
}

TEST_F(ServiceHandlesTest, FreeChecksTheIndex) {
  ServiceHandleTable* table = InitUIDAIServices(32);
  ASSERT_NE(table, nullptr);
  struct Case {
    int index;
    int result;
  } cases[] = {{0, 0}, {31, 0}, {32, -1}, {-1, -1}, {1 << 30, -1}};
  for (const Case& c : cases)
    EXPECT_EQ(FreeUIDAIServiceHandle(table, c.index), c.result) << c.index;
  EXPECT_EQ(FreeUIDAIServiceHandle(nullptr, 0), -1);
  FreeUIDAIServices(table);
}

TEST_F(ServiceHandlesTest, ConsoleLinesOnlyAtLevel99) {
  struct Case {
    int level;
    bool lines;
  } cases[] = {{0, false}, {1, false}, {2, false}, {98, false}, {99, true}, {-99, false}};
  for (const Case& c : cases) {
    TraceLogConfigure(c.level, "");
    testing::internal::CaptureStdout();
    ServiceHandleTable* table = InitUIDAIServices(32);
    ASSERT_NE(table, nullptr);
    EXPECT_EQ(FreeUIDAIServiceHandle(table, 3), 0);
    EXPECT_EQ(FreeUIDAIServiceHandle(table, 32), -1);
    std::string out = testing::internal::GetCapturedStdout();
    FreeUIDAIServices(table);
    const char* expected = c.lines ? "Called InitUIDAIServices\n"
                                     "Leaving InitUIDAIServices\n"
                                     "Called FreeUIDAIServiceHandle\n"
                                     "Leaving FreeUIDAIServiceHandle\n"
                                     "Called FreeUIDAIServiceHandle\n"
                                   : "";
    EXPECT_EQ(out, expected) << c.level;
  }
}

}  // namespace
