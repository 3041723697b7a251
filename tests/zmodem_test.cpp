// ZMODEM's frames without the port: headers byte for byte as lrzsz writes
// them, the escaping, ZFILE's information, and what a listening run takes
// for a ZMODEM peer.
#include <gtest/gtest.h>

#include <string>

#include "protocols/zmodem/frame.h"
#include "protocols/zmodem/zmodem.h"

namespace {

std::string Text(const ZBytes& bytes) {
  return std::string(bytes.begin(), bytes.end());
}

// As sz writes them: "rz\r" and ZRQINIT, and with -e the ZSINIT that asks
// for every control character escaped.
const std::string kSzRequest = "**\030B00000000000000\r\x8a\x11";
const std::string kSzEscapeAll = "**\030B02000000400c47\r\x8a\x11";

TEST(ZmodemFrameTest, HexHeadersAreLrzszsBytes) {
  EXPECT_EQ(Text(FormZHexHeader(MakeZHeader(kZRqInit, 0))), kSzRequest);
  ZHeader sinit = MakeZHeader(kZSInit, 0);
  sinit.data[3] = kZEscCtl;
  EXPECT_EQ(Text(FormZHexHeader(sinit)), kSzEscapeAll);
  // No XON after ZFIN, which "OO" follows.
  std::string fin = Text(FormZHexHeader(MakeZHeader(kZFin, 0)));
  EXPECT_EQ(fin.substr(fin.size() - 2), "\r\x8a");
  EXPECT_EQ(GetZPosition(MakeZHeader(kZRPos, 0x12345678)), 0x12345678u);
  EXPECT_EQ(MakeZHeader(kZRPos, 0x12345678).data[0], 0x78);
}

TEST(ZmodemFrameTest, EscapesWhatTheLineMayEat) {
  const ZBytes raw = {0x18, 0x10, 0x11, 0x13, 0x90, 0x91, 0x93, '@', 0x0D, 'a', 0x0D, 0x01, 0x7F};
  ZEscaper some;
  ZBytes out;
  AppendZEscaped(&out, raw.data(), raw.size(), &some);
  const ZBytes kSome = {0x18, 0x58, 0x18, 0x50, 0x18, 0x51, 0x18, 0x53, 0x18, 0xD0, 0x18,
                        0xD1, 0x18, 0xD3, '@',  0x18, 0x4D, 'a',  0x0D, 0x01, 0x7F};
  EXPECT_EQ(out, kSome);
  ZEscaper all;
  all.escape_all = true;
  out.clear();
  AppendZEscaped(&out, raw.data() + 9, 4, &all);
  const ZBytes kAll = {'a', 0x18, 0x4D, 0x18, 0x41, 0x7F};
  EXPECT_EQ(out, kAll);
}

TEST(ZmodemFrameTest, ReadsFileInformationAsSzWritesIt) {
  ZFileFacts facts;
  facts.name = "a.bin";
  facts.size = 262144;
  facts.mtime = 1500000000;
  facts.mode = 0100644;
  ZBytes info = FormZFileInfo(facts, 2, 267144);
  EXPECT_EQ(Text(info), std::string("a.bin\000262144 13132027400 100644 0 2 267144\0", 43));
  ZFileFacts read;
  ASSERT_TRUE(ReadZFileInfo(info.data(), info.size(), &read));
  EXPECT_EQ(read.name, "a.bin");
  EXPECT_TRUE(read.sized && read.timed && read.moded);
  EXPECT_EQ(read.size, 262144u);
  EXPECT_EQ(read.mtime, 1500000000);
  EXPECT_EQ(read.mode, 0644u);  // the permission bits, without the type
  const struct {
    std::string info;
    bool valid;
    bool sized;
  } kCases[] = {
      // Octal escapes take three digits at most: "\000" then the digits.
      {std::string("a\0", 2), true, false},
      {std::string("a\0009223372036854775808", 21), true, true},
      {std::string("a\00018446744073709551616", 22), false, false},
      {std::string("a\00012x", 5), false, false},
      {std::string("a\000x", 3), false, false},
      {std::string("a"), false, false},
      {std::string("\0005", 2), false, false},
  };
  for (const auto& c : kCases) {
    SCOPED_TRACE(c.info);
    const uint8_t* bytes = reinterpret_cast<const uint8_t*>(c.info.data());
    EXPECT_EQ(ReadZFileInfo(bytes, c.info.size(), &read), c.valid);
    if (c.valid) {
      EXPECT_EQ(read.sized, c.sized);
    }
  }
}

TEST(ZmodemFrameTest, RecognizesLrzszsOpenings) {
  std::string opening = "rz\r" + kSzRequest;
  auto bytes = [](const std::string& text) {
    return reinterpret_cast<const uint8_t*>(text.data());
  };
  EXPECT_TRUE(IsZmodemSenderOpening(bytes(opening), opening.size()));
  std::string damaged = opening;
  damaged[10] = '1';
  EXPECT_FALSE(IsZmodemSenderOpening(bytes(damaged), damaged.size()));
  EXPECT_FALSE(IsZmodemReceiverInit(bytes(opening), opening.size()));
  // rz's ZRINIT: CRC-32, full duplex, overlapped I/O; its '3's are no READY.
  ZHeader init = MakeZHeader(kZRInit, 0);
  init.data[3] = kZCanFdx | kZCanOvio | kZCanFc32;
  std::string said = Text(FormZHexHeader(init));
  EXPECT_EQ(said.substr(0, 14), "**\030B0100000023");
  EXPECT_TRUE(EndsInsideZmodemHeader(bytes(said), 14));
  EXPECT_FALSE(EndsInsideZmodemHeader(bytes(said), 3));
  EXPECT_FALSE(EndsInsideZmodemHeader(bytes(std::string("3")), 1));
  EXPECT_TRUE(IsZmodemReceiverInit(bytes(said), said.size()));
}

}  // namespace
