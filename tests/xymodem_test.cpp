// X/YMODEM's blocks and block 0 without the port, and what a listening
// run takes for a receiver's ask.
#include <gtest/gtest.h>

#include <string>

#include "protocols/xymodem/block.h"
#include "protocols/xymodem/xymodem.h"

namespace {

// CRC-16/XMODEM bit by bit, apart from the program's table.
uint16_t Crc16(const XyBytes& bytes) {
  uint16_t crc = 0;
  for (uint8_t byte : bytes) {
    crc ^= uint16_t(byte << 8);
    for (int bit = 0; bit < 8; bit++)
      crc = uint16_t(crc & 0x8000 ? crc << 1 ^ 0x1021 : crc << 1);
  }
  return crc;
}

TEST(XymodemBlockTest, FormsAndReadsBlocksWithEitherCheck) {
  const std::string text = "hello";
  const uint8_t* data = reinterpret_cast<const uint8_t*>(text.data());
  for (XyCheck check : {XyCheck::kSum, XyCheck::kCrc}) {
    for (size_t size : {kXyShort, kXyLong}) {
      XyBytes block = FormXyBlock(7, data, text.size(), size, check);
      ASSERT_EQ(block.size(), 1 + CountXyBlockRest(size, check));
      EXPECT_EQ(block[0], size == kXyLong ? kXyStx : kXySoh);
      EXPECT_EQ(block[1], 7);
      EXPECT_EQ(block[2], 0xF8);
      XyBytes padded(block.begin() + 3, block.begin() + 3 + long(size));
      EXPECT_EQ(std::string(padded.begin(), padded.begin() + 5), text);
      EXPECT_EQ(padded.back(), kXySub);
      if (check == XyCheck::kCrc) {
        EXPECT_EQ(block[3 + size] << 8 | block[4 + size], Crc16(padded));
      } else {
        uint8_t sum = 0;
        for (uint8_t byte : padded)
          sum = uint8_t(sum + byte);
        EXPECT_EQ(block[3 + size], sum);
      }
      uint8_t number = 0;
      EXPECT_TRUE(ReadXyBlock(block.data() + 1, size, check, &number));
      EXPECT_EQ(number, 7);
      // One bit wrong in the data, or a number that is not its complement's.
      for (size_t at : {size_t(2), size_t(10)}) {
        XyBytes damaged = block;
        damaged[at] ^= 0x10;
        EXPECT_FALSE(ReadXyBlock(damaged.data() + 1, size, check, &number)) << at;
      }
    }
  }
}

TEST(XymodemBlockTest, ReadsBlockZero) {
  XyFileFacts facts;
  facts.name = "dir/image.bin";
  facts.size = 262144;
  facts.mtime = 1500000000;
  facts.mode = 0640;
  XyBytes formed = FormYmodemHeader(facts);
  ASSERT_EQ(formed.size(), kXyShort);
  EXPECT_EQ(std::string(formed.begin(), formed.begin() + 42),
            std::string("dir/image.bin\0"
                        "262144 13132027400 100640",
                        39) +
                std::string(3, '\0'));
  const struct {
    const char* name;
    std::string data;
    XyHeader header;
    uint64_t size;
    bool timed;
    uint32_t mode;
  } kCases[] = {
      {"as velcot forms it", std::string(formed.begin(), formed.end()), XyHeader::kFile, 262144,
       true, 0640},
      {"as lrzsz forms it, with files and bytes left",
       std::string("foo.c\0"
                   "1234 13354050133 100644 0 3 5000",
                   38),
       XyHeader::kFile, 1234, true, 0644},
      {"a name alone", std::string("foo.c\0\0", 7), XyHeader::kFile, 0, false, 0},
      {"the end of the batch", std::string(128, '\0'), XyHeader::kEndOfBatch, 0, false, 0},
      {"no NUL after the name", std::string(128, 'a'), XyHeader::kInvalid, 0, false, 0},
      {"a size beyond 63 bits",
       std::string("a\0"
                   "9223372036854775808",
                   21),
       XyHeader::kInvalid, 0, false, 0},
      {"a size that is no number",
       std::string("a\0"
                   "12a 0",
                   7),
       XyHeader::kInvalid, 0, false, 0},
      {"a time that is not octal",
       std::string("a\0"
                   "12 19",
                   7),
       XyHeader::kInvalid, 0, false, 0},
  };
  for (const auto& c : kCases) {
    SCOPED_TRACE(c.name);
    XyFileFacts read;
    const uint8_t* data = reinterpret_cast<const uint8_t*>(c.data.data());
    EXPECT_EQ(ReadYmodemHeader(data, c.data.size(), &read), c.header);
    if (c.header != XyHeader::kFile) continue;
    EXPECT_EQ(read.size, c.size);
    EXPECT_EQ(read.timed, c.timed);
    EXPECT_EQ(read.mode, c.mode);
  }
  facts.name = std::string(200, 'n');
  EXPECT_EQ(FormYmodemHeader(facts).size(), kXyLong);
  EXPECT_EQ(FormYmodemHeader(XyFileFacts()), XyBytes(kXyShort, 0));
}

TEST(XymodemBlockTest, FindsAReceiversAsk) {
  const struct {
    std::string heard;
    uint8_t ask;
  } kCases[] = {{"C", 'C'}, {"CCC", 'C'}, {"GG", 'G'}, {"\x15\x15", kXyNak},
                {"", 0},    {"CG", 0},    {"\x33", 0}, {"C\r\n", 0}};
  for (const auto& c : kCases) {
    const uint8_t* bytes = reinterpret_cast<const uint8_t*>(c.heard.data());
    EXPECT_EQ(FindXyReceiverAsk(bytes, c.heard.size()), c.ask) << c.heard;
  }
}

}  // namespace
