#include "net/mbuf.h"

#include <gtest/gtest.h>

#include <string>

namespace {

std::string Contents(const mbuf& mb) {
  return std::string(mb.buf, mb.len);
}

TEST(Mbuf, GrowsToOneAndAHalfTimesTheNeededLength) {
  mbuf mb;
  mbuf_init(&mb, 0);
  std::string chunk(2048, 'a');
  ASSERT_EQ(mbuf_append(&mb, chunk.data(), chunk.size()), 2048u);
  EXPECT_EQ(mb.len, 2048u);
  EXPECT_EQ(mb.size, 3072u);

  // Fill to exactly the capacity: no reallocation may happen.
  char* before = mb.buf;
  std::string rest(1024, 'b');
  ASSERT_EQ(mbuf_append(&mb, rest.data(), rest.size()), 1024u);
  EXPECT_EQ(mb.buf, before);
  EXPECT_EQ(mb.size, 3072u);

  // One more byte: 3073 * 1.5 = 4609.5, truncated.
  ASSERT_EQ(mbuf_append(&mb, "c", 1), 1u);
  EXPECT_EQ(mb.len, 3073u);
  EXPECT_EQ(mb.size, 4609u);
  EXPECT_EQ(Contents(mb), chunk + rest + "c");
  mbuf_free(&mb);
}

TEST(Mbuf, InsertKeepsTheBytesAroundTheGap) {
  mbuf mb;
  mbuf_init(&mb, 4);
  ASSERT_EQ(mbuf_append(&mb, "held", 4), 4u);
  ASSERT_EQ(mbuf_insert(&mb, 2, "XYZ", 3), 3u);  // grows
  EXPECT_EQ(Contents(mb), "heXYZld");
  ASSERT_EQ(mbuf_insert(&mb, 0, ">", 1), 1u);
  EXPECT_EQ(Contents(mb), ">heXYZld");
  // Null data opens a gap the caller fills.
  ASSERT_EQ(mbuf_insert(&mb, 1, nullptr, 2), 2u);
  EXPECT_EQ(mb.len, 10u);
  mb.buf[1] = '(';
  mb.buf[2] = ')';
  EXPECT_EQ(Contents(mb), ">()heXYZld");
  mbuf_free(&mb);
}

TEST(Mbuf, RefusesInsertsItCannotHold) {
  mbuf mb;
  mbuf_init(&mb, 8);
  ASSERT_EQ(mbuf_append(&mb, "abc", 3), 3u);
  EXPECT_EQ(mbuf_insert(&mb, 0, nullptr, SIZE_MAX - 2), 0u);
  EXPECT_EQ(mbuf_insert(&mb, 4, "x", 1), 0u);  // offset beyond len
  EXPECT_EQ(Contents(mb), "abc");
  EXPECT_EQ(mb.size, 8u);
  mbuf_free(&mb);
}

TEST(Mbuf, RemoveTakesFromTheFrontOnlyWhenTheCountFits) {
  struct Case {
    size_t count;
    const char* left;
  } cases[] = {{0, "abcdef"}, {7, "abcdef"}, {2, "cdef"}, {6, ""}};
  for (const Case& c : cases) {
    mbuf mb;
    mbuf_init(&mb, 16);
    ASSERT_EQ(mbuf_append(&mb, "abcdef", 6), 6u);
    mbuf_remove(&mb, c.count);
    EXPECT_EQ(Contents(mb), c.left) << "removing " << c.count;
    EXPECT_EQ(mb.size, 16u) << "a removal never shrinks the block";
    EXPECT_NE(mb.buf, nullptr);
    mbuf_free(&mb);
  }
}

TEST(Mbuf, ResizeNeverDropsBytesInUse) {
  mbuf mb;
  mbuf_init(&mb, 10);
  ASSERT_EQ(mbuf_append(&mb, "12345678", 8), 8u);
  mbuf_resize(&mb, 4);  // below len: nothing happens
  EXPECT_EQ(mb.size, 10u);
  mbuf_resize(&mb, 10);  // same capacity: nothing happens
  EXPECT_EQ(mb.size, 10u);
  mbuf_resize(&mb, 8);  // down to len: allowed
  EXPECT_EQ(mb.size, 8u);
  EXPECT_EQ(Contents(mb), "12345678");
  mbuf_resize(&mb, 100);
  EXPECT_EQ(mb.size, 100u);
  EXPECT_EQ(Contents(mb), "12345678");
  mbuf_free(&mb);
}

TEST(Mbuf, FreeLeavesAnEmptyRecord) {
  mbuf empty = {nullptr, 0, 0};
  mbuf_free(&empty);
  EXPECT_EQ(empty.buf, nullptr);
  EXPECT_EQ(empty.size, 0u);

  mbuf mb;
  mbuf_init(&mb, 32);
  ASSERT_EQ(mbuf_append(&mb, "x", 1), 1u);
  mbuf_free(&mb);
  EXPECT_EQ(mb.buf, nullptr);
  EXPECT_EQ(mb.len, 0u);
  EXPECT_EQ(mb.size, 0u);
}

TEST(Mbuf, ZeroedRecordAcceptsAppends) {
  mbuf mb = {nullptr, 0, 0};
  ASSERT_EQ(mbuf_append(&mb, "hello", 5), 5u);
  EXPECT_EQ(mb.size, 7u);  // 5 * 1.5 = 7.5
  EXPECT_EQ(Contents(mb), "hello");
  mbuf_free(&mb);
}

// Storage a large message left behind goes back once the message was
// consumed; small buffers and buffers still in use keep theirs.
TEST(Mbuf, TrimGivesBackWhatALargeMessageLeft) {
  struct Row {
    size_t size, len, keep, after;
    const char* why;
  };
  const Row rows[] = {
      {300000, 0, 16384, 0, "consumed: released"},
      {300000, 1000, 16384, 16384, "a little left: down to keep"},
      {300000, 70000, 16384, 70000, "under a quarter: down to the bytes in use"},
      {300000, 75001, 16384, 300000, "more than a quarter in use: kept"},
      {16384, 0, 16384, 16384, "not above keep: kept"},
      {3072, 0, 16384, 3072, "small: kept"},
  };
  for (const Row& r : rows) {
    mbuf mb;
    mbuf_init(&mb, r.size);
    std::string bytes(r.len, 'x');
    for (size_t i = 0; i < r.len; i++) bytes[i] = static_cast<char>('a' + i % 26);
    ASSERT_EQ(mbuf_append(&mb, bytes.data(), r.len), r.len);
    mbuf_trim(&mb, r.keep);
    EXPECT_EQ(mb.size, r.after) << r.why;
    EXPECT_EQ(mb.len, r.len) << r.why;
    EXPECT_EQ(r.after == 0, mb.buf == nullptr) << r.why;
    EXPECT_EQ(r.len == 0 ? "" : std::string(mb.buf, mb.len), bytes) << r.why;
    mbuf_free(&mb);
  }
}

}  // namespace
