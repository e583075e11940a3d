// Damaged and hostile files: the decoder answers with an error code, never a crash, an
// over-read (sanitizer builds decode from exact-size heap copies) or a wrong-size image.

#include <gtest/gtest.h>

#include <cstdlib>
#include <functional>

#include "tests/wsq/wsq_test_util.h"
#include "wsq/wsq.h"

namespace {

const Bytes& GoodFile() {
  static const Bytes file = [] {
    int rc = 0;
    return Encode(FingerImage(8, 0, 256, 256), 256, 256, 0.75f, &rc);
  }();
  return file;
}

std::vector<Segment> GoodSegments() {
  std::vector<Segment> segs;
  EXPECT_TRUE(SplitSegments(GoodFile(), &segs));
  return segs;
}

size_t IndexOf(const std::vector<Segment>& segs, uint8_t marker, int nth = 0) {
  for (size_t i = 0; i < segs.size(); ++i)
    if (segs[i].marker == marker && nth-- == 0) return i;
  ADD_FAILURE() << "no marker " << int{marker};
  return 0;
}

Bytes Segment1(uint8_t marker, const Bytes& payload) {
  Bytes s(4 + payload.size());
  s[0] = 0xFF;
  s[1] = marker;
  s[2] = static_cast<uint8_t>((payload.size() + 2) >> 8);
  s[3] = static_cast<uint8_t>((payload.size() + 2) & 0xFF);
  std::copy(payload.begin(), payload.end(), s.begin() + 4);
  return s;
}

TEST(WsqCorruption, NamedDamageIsRejected) {
  struct Case {
    const char* why;
    std::function<Bytes()> make;
    int expected;
  };
  const Case cases[] = {
      {"empty input", [] { return Bytes{}; }, kWsqErrTruncated},
      {"one byte", [] { return Bytes{0xFF}; }, kWsqErrTruncated},
      {"SOI changed to a JPEG marker",
       [] {
         Bytes f = GoodFile();
         f[1] = 0xD8;
         return f;
       },
       kWsqErrFormat},
      {"EOI removed",
       [] {
         const Bytes& f = GoodFile();
         return Bytes(f.begin(), f.end() - 2);
       },
       kWsqErrTruncated},
      {"truncated in the middle of block 2",
       [] {
         auto segs = GoodSegments();
         const Segment& s = segs[IndexOf(segs, wsq::kSOB, 1)];
         Bytes f = GoodFile();
         f.resize(s.offset + s.bytes.size() + s.entropy.size() / 2);
         return f;
       },
       kWsqErrTruncated},
      {"byte inverted inside block 2",
       [] {
         auto segs = GoodSegments();
         const Segment& s = segs[IndexOf(segs, wsq::kSOB, 1)];
         Bytes f = GoodFile();
         size_t at = s.offset + s.bytes.size() + s.entropy.size() / 2;
         while (f[at] == 0xFF || f[at] == 0x00 || f[at - 1] == 0xFF) ++at;  // keep stuffing
         f[at] = static_cast<uint8_t>(~f[at]);
         return f;
       },
       kWsqErrFormat},
      {"block 3 removed: coefficients missing",
       [] {
         auto segs = GoodSegments();
         segs.erase(segs.begin() + IndexOf(segs, wsq::kSOB, 2));
         return JoinSegments(segs);
       },
       kWsqErrFormat},
      {"block 2 repeated: data past the image",
       [] {
         auto segs = GoodSegments();
         const size_t i = IndexOf(segs, wsq::kSOB, 1);
         segs.insert(segs.begin() + i, segs[i]);
         return JoinSegments(segs);
       },
       kWsqErrFormat},
      {"unstuffed FF inside entropy data",
       [] {
         auto segs = GoodSegments();
         segs[IndexOf(segs, wsq::kSOB, 0)].entropy[3] = 0xFF;
         segs[IndexOf(segs, wsq::kSOB, 0)].entropy[4] = 0x17;
         return JoinSegments(segs);
       },
       kWsqErrFormat},
      {"segment length below 2",
       [] {
         Bytes f = GoodFile();
         f[4] = 0;
         f[5] = 1;
         return f;
       },
       kWsqErrFormat},
      {"segment length past the end",
       [] {
         Bytes f = GoodFile();
         f[4] = 0xFF;
         f[5] = 0xF0;
         return f;
       },
       kWsqErrTruncated},
      {"SOB before SOF",
       [] {
         auto segs = GoodSegments();
         const size_t sob = IndexOf(segs, wsq::kSOB);
         const Segment s = segs[sob];
         segs.erase(segs.begin() + sob);
         segs.insert(segs.begin() + IndexOf(segs, wsq::kSOF), s);
         return JoinSegments(segs);
       },
       kWsqErrFormat},
      {"SOB naming an undefined table",
       [] {
         auto segs = GoodSegments();
         segs[IndexOf(segs, wsq::kSOB)].bytes[4] = 5;
         return JoinSegments(segs);
       },
       kWsqErrFormat},
      {"second SOF",
       [] {
         auto segs = GoodSegments();
         const size_t sof = IndexOf(segs, wsq::kSOF);
         segs.insert(segs.begin() + sof, segs[sof]);
         return JoinSegments(segs);
       },
       kWsqErrFormat},
      {"no transform table",
       [] {
         auto segs = GoodSegments();
         segs.erase(segs.begin() + IndexOf(segs, wsq::kDTT));
         return JoinSegments(segs);
       },
       kWsqErrFormat},
      {"frame width zero",
       [] {
         auto segs = GoodSegments();
         Segment& s = segs[IndexOf(segs, wsq::kSOF)];
         s.bytes[8] = s.bytes[9] = 0;
         return JoinSegments(segs);
       },
       kWsqErrFormat},
      {"frame of 65535 x 65535",
       [] {
         auto segs = GoodSegments();
         Segment& s = segs[IndexOf(segs, wsq::kSOF)];
         for (int i = 6; i < 10; ++i) s.bytes[i] = 0xFF;
         return JoinSegments(segs);
       },
       kWsqErrTooLarge},
      {"Huffman counts oversubscribed",
       [] {
         auto segs = GoodSegments();
         Segment& s = segs[IndexOf(segs, wsq::kDHT)];
         // Two codes of length 1 fill the code space; move two longer codes there.
         for (int len = 16; len >= 2; --len) {
           if (s.bytes[4 + len] >= 2) {
             s.bytes[4 + len] -= 2;
             s.bytes[5] += 2;
             break;
           }
         }
         return JoinSegments(segs);
       },
       kWsqErrFormat},
      {"Huffman counts beyond the segment",
       [] {
         auto segs = GoodSegments();
         Segment& s = segs[IndexOf(segs, wsq::kDHT)];
         s.bytes[20] = 0xFF;
         return JoinSegments(segs);
       },
       kWsqErrFormat},
      {"Huffman table id 9",
       [] {
         auto segs = GoodSegments();
         segs[IndexOf(segs, wsq::kDHT)].bytes[4] = 9;
         return JoinSegments(segs);
       },
       kWsqErrFormat},
      {"even-length filters",
       [] {
         auto segs = GoodSegments();
         segs[IndexOf(segs, wsq::kDTT)].bytes[4] = 8;
         return JoinSegments(segs);
       },
       kWsqErrUnsupported},
      {"filter sign byte 2",
       [] {
         auto segs = GoodSegments();
         segs[IndexOf(segs, wsq::kDTT)].bytes[6] = 2;
         return JoinSegments(segs);
       },
       kWsqErrFormat},
      {"quantization table one byte short",
       [] {
         auto segs = GoodSegments();
         Segment& s = segs[IndexOf(segs, wsq::kDQT)];
         s.bytes.pop_back();
         s.bytes[3] -= 1;
         return JoinSegments(segs);
       },
       kWsqErrFormat},
      {"quantization table redefined after data",
       [] {
         auto segs = GoodSegments();
         const Segment dqt = segs[IndexOf(segs, wsq::kDQT)];
         segs.insert(segs.begin() + IndexOf(segs, wsq::kSOB, 1), dqt);
         return JoinSegments(segs);
       },
       kWsqErrUnsupported},
      {"restart interval",
       [] {
         auto segs = GoodSegments();
         Segment drt{wsq::kDRT, 0, Segment1(wsq::kDRT, {0, 16}), {}};
         segs.insert(segs.begin() + IndexOf(segs, wsq::kSOF), drt);
         return JoinSegments(segs);
       },
       kWsqErrUnsupported},
      {"unknown marker",
       [] {
         auto segs = GoodSegments();
         Segment odd{0xB5, 0, Segment1(0xB5, {1, 2}), {}};
         segs.insert(segs.begin() + IndexOf(segs, wsq::kSOF), odd);
         return JoinSegments(segs);
       },
       kWsqErrFormat},
      {"second SOI",
       [] {
         Bytes f = GoodFile();
         f.insert(f.begin() + 2, {0xFF, 0xA0});
         return f;
       },
       kWsqErrFormat},
      {"garbage between segments",
       [] {
         auto segs = GoodSegments();
         segs[IndexOf(segs, wsq::kDTT)].bytes.push_back(0x42);
         return JoinSegments(segs);
       },
       kWsqErrFormat},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.why);
    const Decoded d = Decode(c.make());
    EXPECT_EQ(d.rc, c.expected) << WsqResultText(d.rc);
  }
}

TEST(WsqCorruption, HarmlessVariationsStillDecode) {
  // Bytes after EOI, an extra free-text comment, a second NISTCOM (the first one counts) and
  // both tables in one DHT segment are all well-formed.
  auto segs = GoodSegments();
  Bytes tail = GoodFile();
  tail.insert(tail.end(), {1, 2, 3});
  EXPECT_EQ(Decode(tail).rc, kWsqOk);

  const std::string second = "NIST_COM 2\nPPI 1000";
  Segment com{wsq::kCOM, 0, Segment1(wsq::kCOM, Bytes(second.begin(), second.end())), {}};
  segs.insert(segs.begin() + IndexOf(segs, wsq::kSOF), com);
  const Decoded d = Decode(JoinSegments(segs));
  EXPECT_EQ(d.rc, kWsqOk);
  EXPECT_EQ(d.ppi, 500);

  segs = GoodSegments();
  const size_t first = IndexOf(segs, wsq::kDHT, 0), second_dht = IndexOf(segs, wsq::kDHT, 1);
  Bytes both(segs[first].payload(), segs[first].payload() + segs[first].payload_size());
  both.insert(both.end(), segs[second_dht].payload(),
              segs[second_dht].payload() + segs[second_dht].payload_size());
  segs.erase(segs.begin() + second_dht);
  segs[first].bytes = Segment1(wsq::kDHT, both);
  EXPECT_EQ(Decode(JoinSegments(segs)).rc, kWsqOk);
}

TEST(WsqCorruption, EveryTruncationReportsTruncated) {
  const Bytes& file = GoodFile();
  for (size_t n = 0; n < file.size(); ++n) {
    const Decoded d = Decode(Bytes(file.begin(), file.begin() + n));
    ASSERT_EQ(d.rc, kWsqErrTruncated) << "prefix of " << n << " bytes";
  }
}

// Every marker and length byte, a third of the other header bytes and a spread of bytes
// across the entropy data, each replaced by several values: whatever the outcome, it is a
// clean code or a full-size image. (The fuzzer goes much further.)
TEST(WsqCorruption, SingleByteDamageNeverBreaksTheDecoder) {
  const Bytes& file = GoodFile();
  std::vector<Segment> segs = GoodSegments();
  std::vector<size_t> positions;
  for (const Segment& s : segs) {
    for (size_t i = 0; i < s.bytes.size(); ++i)
      if (i < 4 || i % 3 == 0) positions.push_back(s.offset + i);
    for (size_t i = 0; i < s.entropy.size(); i += 37)
      positions.push_back(s.offset + s.bytes.size() + i);
  }
  int detected = 0, total = 0;
  for (size_t at : positions) {
    for (uint8_t v : {uint8_t{0x00}, uint8_t{0xFF}, static_cast<uint8_t>(~file[at])}) {
      if (v == file[at]) continue;
      Bytes f = file;
      f[at] = v;
      const Decoded d = Decode(f);
      ++total;
      if (d.rc == kWsqOk) {
        EXPECT_GT(d.width, 0);
        EXPECT_EQ(d.image.size(), static_cast<size_t>(d.width) * d.height);
      } else {
        ++detected;
        EXPECT_GE(d.rc, kWsqErrTooLarge);
        EXPECT_LE(d.rc, kWsqErrFormat);
      }
    }
  }
  EXPECT_GT(detected, total / 4);
}

TEST(WsqCorruption, NullArgumentsAreRefused) {
  const Bytes& file = GoodFile();
  unsigned char* image = nullptr;
  int w = 0, h = 0, ppi = 0;
  EXPECT_EQ(WsqDecode(nullptr, 10, &image, &w, &h, &ppi), kWsqErrArgument);
  EXPECT_EQ(WsqDecode(file.data(), file.size(), nullptr, &w, &h, &ppi), kWsqErrArgument);
  EXPECT_EQ(WsqDecode(file.data(), file.size(), &image, &w, &h, nullptr), kWsqErrArgument);
  EXPECT_EQ(image, nullptr);
  EXPECT_EQ(WsqDecodeBounded(file.data(), file.size(), 256 * 255, &image, &w, &h, &ppi),
            kWsqErrTooLarge);
}

}  // namespace
