// Reader enumeration for the status route: what is listed, and that no
// reader is opened and no SDK object is left behind on any path.
#include "device/reader_list.h"

#include <gtest/gtest.h>

#include <string>

#include "sdk/virtual_reader.h"
#include "sdk/vrfplib.h"

namespace {

class ReaderListTest : public ::testing::Test {
 protected:
  void TearDown() override { ASSERT_EQ(VirtualReaderConfigure(nullptr), 0); }
  static void Configure(const char* text) { ASSERT_EQ(VirtualReaderConfigure(text), 0) << text; }
  static void ExpectNothingOpenedOrLeft() {
    VirtualReaderStats s = VirtualReaderStatsSnapshot();
    EXPECT_EQ(s.live_handles, 0);
    EXPECT_EQ(s.open_devices, 0);
    EXPECT_EQ(s.capture_calls, 0);
  }
};

TEST_F(ReaderListTest, ListsModelsAndSerialsInEnumerationOrder) {
  Configure("readers=TRV08,NX51,TRV08");
  ReaderListing out[8];
  size_t count = 99;
  ASSERT_EQ(ListReaders(out, &count), 0);
  ASSERT_EQ(count, 3u);
  EXPECT_STREQ(out[0].model, "TRV08");
  EXPECT_STREQ(out[1].model, "NX51");
  EXPECT_STREQ(out[2].model, "TRV08");
  // Two readers of one model have distinct serials, each 16 characters.
  EXPECT_EQ(std::string(out[0].serial_number).size(), 16u);
  EXPECT_STRNE(out[0].serial_number, out[2].serial_number);
  ExpectNothingOpenedOrLeft();
}

TEST_F(ReaderListTest, EdgesOfTheList) {
  struct Row {
    const char* config;
    size_t capacity;
    int rc;
    size_t count;
    const char* why;
  } rows[] = {
      {"readers=none", 8, 0, 0, "no reader is not an error"},
      {"readers=none;com=3", 8, 0, 0, "the serial reader is not enumerated"},
      {"readers=NX51,NX51,NX51", 2, 0, 2, "more readers than room: the first ones"},
      {"readers=NX51;fail=EnumerateDevice", 8, 1008, 0, "the SDK's code passes through"},
      {"readers=NX51;fail=Create", 8, 1003, 0, "no SDK object: its code"},
  };
  for (const Row& r : rows) {
    Configure(r.config);
    ReaderListing out[8];
    size_t count = 99;
    EXPECT_EQ(ListReaders(std::span(out, r.capacity), &count), r.rc) << r.why;
    EXPECT_EQ(count, r.count) << r.why;
    ExpectNothingOpenedOrLeft();
  }
}

TEST_F(ReaderListTest, FindsAReaderBySerialAndItsPlaceAmongItsModel) {
  Configure("readers=TRV08,NX51,TRV08");
  ReaderListing out[8];
  size_t count = 0;
  ASSERT_EQ(ListReaders(out, &count), 0);
  ASSERT_EQ(count, 3u);
  const struct {
    const char* serial;
    ReaderLocation want;
  } rows[] = {
      {out[1].serial_number, {true, VRFPM_DEVICE_NX51, 0}},
      {out[2].serial_number, {true, VRFPM_DEVICE_TRV08, 1}},
      {"NX51000000000000", {false, 0, 0}},
      {"", {false, 0, 0}},
  };
  for (const auto& r : rows) {
    ReaderLocation got{true, 99, 99};
    ASSERT_EQ(FindReaderBySerial(r.serial, &got), 0) << r.serial;
    EXPECT_EQ(got.found, r.want.found) << r.serial;
    EXPECT_EQ(got.device_code, r.want.device_code) << r.serial;
    EXPECT_EQ(got.index, r.want.index) << r.serial;
  }
  ExpectNothingOpenedOrLeft();
  Configure("readers=NX51;fail=EnumerateDevice");
  ReaderLocation got;
  EXPECT_EQ(FindReaderBySerial(out[1].serial_number, &got), 1008);
  EXPECT_FALSE(got.found);
}

}  // namespace
