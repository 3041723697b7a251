// Kermit's pure logic: packets as C-Kermit and U-Boot put them on the line
// (captured from real transfers), the data encoding, the Send-Init
// agreement, the attributes, and what the run layer recognizes.
#include <gtest/gtest.h>

#include <string>

#include "protocols/kermit/kermit.h"
#include "protocols/kermit/packet.h"

namespace {

KermitBytes B(const std::string& text) {
  return KermitBytes(text.begin(), text.end());
}

TEST(KermitPacket, FormsAndReadsWhatCKermitAndUBootSend) {
  const std::string kUBootInit = "~! @-#N1N\" ~~";
  const struct {
    std::string wire;  // after the mark, to the check
    int check, seq;
    char type;
    std::string data;
  } kCases[] = {
      {"9 S~/ @-#Y3~^?~}0___F\"U1@F", 1, 0, 'S', "~/ @-#Y3~^?~}0___F\"U1@"},
      {"*!Fa.bin'5X", 3, 1, 'F', "a.bin"},
      {"%#Y/R9", 3, 3, 'Y', ""},
      {"# N3", 1, 0, 'N', ""},
      {"0 Y" + kUBootInit + "#", 1, 0, 'Y', kUBootInit},
  };
  for (const auto& c : kCases) {
    SCOPED_TRACE(c.wire);
    KermitBytes wire = B("\x01" + c.wire);
    EXPECT_EQ(FormKermitPacket({c.seq, uint8_t(c.type), B(c.data)}, c.check), wire);
    EXPECT_EQ(MeasureKermitPacket(wire.data(), 1, c.check, 9031), 0);
    ASSERT_EQ(MeasureKermitPacket(wire.data(), wire.size(), c.check, 9031), long(wire.size()));
    KermitPacket read;
    ASSERT_TRUE(ReadKermitPacket(wire.data(), wire.size(), c.check, &read));
    EXPECT_EQ(read.seq, c.seq);
    EXPECT_EQ(read.type, c.type);
    EXPECT_EQ(read.data, B(c.data));
    wire[wire.size() / 2] ^= 0x04;
    EXPECT_FALSE(ReadKermitPacket(wire.data(), wire.size(), c.check, &read));
  }
  EXPECT_EQ(UpdateKermitCrc(0, B("123456789").data(), 9), 0x2189);
}

TEST(KermitPacket, ExtendedPacketsAndHeadersThatAreNone) {
  // C-Kermit's first data packet of a window: 244 data characters.
  KermitBytes wire = FormKermitPacket({3, 'D', KermitBytes(244, 'x')}, 3);
  EXPECT_EQ(KermitBytes(wire.begin(), wire.begin() + 7), B("\x01 #D\"Y\""));
  EXPECT_EQ(MeasureKermitPacket(wire.data(), 6, 3, 9031), 0);
  EXPECT_EQ(MeasureKermitPacket(wire.data(), wire.size(), 3, 9031), long(wire.size()));
  EXPECT_EQ(MeasureKermitPacket(wire.data(), wire.size(), 3, 200), -1);  // beyond the longest
  // What fits a normal packet for the other end goes as one; more goes
  // extended however short.
  EXPECT_EQ(FormKermitPacket({0, 'D', KermitBytes(89, 'x')}, 3).size(), 96u);
  EXPECT_EQ(FormKermitPacket({0, 'D', KermitBytes(89, 'x')}, 3, 80)[1], ' ');
  // LEN too short for its check, beyond 94, a sequence number beyond 63,
  // an extended header's check that fails, beyond 95 * 95 characters.
  for (const std::string header : {"\"!D", "\x7f!D", "%\x7fY", " #D\"Y#", " GD\x7f!,"}) {
    SCOPED_TRACE(header);
    KermitBytes bytes = B("\x01" + header);
    EXPECT_EQ(MeasureKermitPacket(bytes.data(), bytes.size(), 1, 9040), -1);
  }
  // C-Kermit writes 95 * 95 with DEL, one beyond the longest it was told.
  KermitBytes del = B("\x01 GD\x7f +");
  EXPECT_EQ(MeasureKermitPacket(del.data(), del.size(), 3, 9032), 7 + 9025);
  EXPECT_EQ(MeasureKermitPacket(del.data(), del.size(), 3, 9031), -1);
}

TEST(KermitCoding, EveryByteGoesThereAndBackInEachCoding) {
  KermitCoding packet_controls{'#', 0, 0, ListPacketControls()};
  KermitCoding line_controls{'#', 0, '~', ListLineControls()};
  KermitCoding seven_bit{'#', '&', '~', ListPacketControls()};
  KermitBytes every;
  for (int i = 0; i < 256; i++)
    every.push_back(uint8_t(i));
  every.insert(every.end(), 200, 0x7E);  // runs: of a prefix, of a control, of a plain byte
  every.insert(every.end(), 3, 0x01);
  every.insert(every.end(), 5, 'a');
  const struct {
    const char* name;
    const KermitCoding& coding;
    int lowest, highest;  // the characters the field may hold
  } kCases[] = {
      {"packet controls", packet_controls, 0x20, 0xFF},
      {"line controls", line_controls, 0x02, 0xFF},
      {"7 bits", seven_bit, 0x20, 0x7E},
  };
  for (const auto& c : kCases) {
    SCOPED_TRACE(c.name);
    KermitBytes field, back;
    size_t at = 0;
    EncodeKermitData(c.coding, every.data(), every.size(), &at, 100000, &field);
    EXPECT_EQ(at, every.size());
    for (uint8_t ch : field) {
      EXPECT_GE(ch, c.lowest);
      EXPECT_LE(ch, c.highest);
      EXPECT_FALSE(ListLineControls()[ch]) << int(ch);
    }
    ASSERT_TRUE(DecodeKermitData(c.coding, field.data(), field.size(), &back));
    EXPECT_EQ(back, every);
    // Packet by packet in fields of 10: no group split, the same bytes.
    back.clear();
    for (at = 0; at < every.size();) {
      KermitBytes piece;
      EncodeKermitData(c.coding, every.data(), every.size(), &at, 10, &piece);
      ASSERT_LE(piece.size(), 10u);
      ASSERT_FALSE(piece.empty());
      ASSERT_TRUE(DecodeKermitData(c.coding, piece.data(), piece.size(), &back));
    }
    EXPECT_EQ(back, every);
  }
  // As C-Kermit prefixes (minimal), decoded; and fields cut inside a group.
  KermitBytes back;
  KermitBytes minimal = B("#@#A\x02\x03#D#~#\xa3~(a");
  ASSERT_TRUE(DecodeKermitData(line_controls, minimal.data(), minimal.size(), &back));
  EXPECT_EQ(back, B(std::string("\x00\x01\x02\x03\x04~\xa3", 7) + std::string(8, 'a')));
  for (const std::string cut : {"#", "~", "~(", "&"}) {
    EXPECT_FALSE(DecodeKermitData(seven_bit, B(cut).data(), cut.size(), &back)) << cut;
  }
}

TEST(KermitInit, AgreesWithCKermitAndUBoot) {
  const std::string kOurs = "~% @-#Y3~.?~}0___F\"U1";  // as C-Kermit logged it
  KermitInit ours = ReadKermitInit(B(kOurs).data(), kOurs.size());
  ours.whatami = true;
  EXPECT_EQ(FormKermitInit(ours), B(kOurs));
  const struct {
    std::string theirs;
    int check, window, maxlx;
    bool attributes;
    uint8_t rptq;
  } kCases[] = {
      {"~/ @-#Y3~^?~}0___F\"U1@", 3, 31, 9023, true, '~'},  // C-Kermit: CAPAS, WINDO, MAXLX...
      {"~! @-#N1N\" ~~", 1, 1, 9024, false, 0},             // U-Boot
      {"P", 1, 1, 0, false, 0},                             // nothing after MAXL: defaults
  };
  for (const auto& c : kCases) {
    SCOPED_TRACE(c.theirs);
    KermitAgreement a = AgreeKermit(ours, ReadKermitInit(B(c.theirs).data(), c.theirs.size()), true,
                                    ListLineControls());
    EXPECT_EQ(a.check, c.check);
    EXPECT_EQ(a.window, c.window);
    EXPECT_EQ(a.maxlx_out, c.maxlx);
    EXPECT_EQ(a.attributes, c.attributes);
    EXPECT_EQ(a.out.rptq, c.rptq);
    EXPECT_FALSE(a.eighth_bit);
  }
  // On a 7-bit line: U-Boot will not prefix the 8th bit, a 'Y' agrees.
  ours.qbin = '&';
  KermitInit uboot = ReadKermitInit(B("~! @-#N1").data(), 8);
  EXPECT_FALSE(AgreeKermit(ours, uboot, true, {}).eighth_bit);
  uboot.qbin = 'Y';
  EXPECT_EQ(AgreeKermit(ours, uboot, true, {}).out.ebq, '&');
}

TEST(KermitAttributes, ReadsCKermitsAndItsOwn) {
  KermitBytes ckermit = B(".\"U1\"\"B8#120261208 14:43:08!\"201%20000,#644-!3@ ");
  KermitFileFacts facts;
  ReadKermitAttributes(ckermit.data(), ckermit.size(), &facts);
  EXPECT_TRUE(facts.sized && facts.timed && facts.moded && !facts.text);
  EXPECT_EQ(facts.size, 20000u);
  EXPECT_EQ(facts.mode, 0644u);
  EXPECT_EQ(FormKermitDate(facts.mtime), "20261208 14:43:08");

  KermitBytes own = FormKermitAttributes(5000000000, 1234567890, 0755);
  KermitFileFacts read;
  ReadKermitAttributes(own.data(), own.size(), &read);
  EXPECT_EQ(read.size, 5000000000u);
  EXPECT_EQ(read.mtime, 1234567890);

  const struct {
    std::string field;
    bool sized, invalid, text;
  } kCases[] = {
      {"1418446744073709551616", false, true, false},  // beyond 64 bits
      {"1\"1x", false, true, false},
      {"\"!A1!7", true, false, true},        // text, 7 bytes
      {"1%20000#\x7f", true, false, false},  // a last field cut short
  };
  for (const auto& c : kCases) {
    SCOPED_TRACE(c.field);
    KermitFileFacts f;
    ReadKermitAttributes(B(c.field).data(), c.field.size(), &f);
    EXPECT_EQ(f.sized, c.sized);
    EXPECT_EQ(f.size_invalid, c.invalid);
    EXPECT_EQ(f.text, c.text);
  }
  int64_t mtime;
  for (const char* bad : {"2026120", "20261308", "20261208 25:00", "20261208 14:43:08x"})
    EXPECT_FALSE(ReadKermitDate(bad, &mtime)) << bad;
  EXPECT_TRUE(ReadKermitDate("261208 14:43", &mtime));
  EXPECT_EQ(FormKermitDate(mtime), "20261208 14:43:00");
}

TEST(KermitRecognizers, TellASenderAndAWaitingReceiver) {
  const std::string kInit = std::string(1, kKermitMark) + "9 S~/ @-#Y3~^?~}0___F\"U1@F\r";
  std::string parity;  // as C-Kermit sends it with SET PARITY EVEN
  for (char c : kInit) {
    bool odd = __builtin_parity(static_cast<unsigned char>(c));
    parity += char(c | (odd ? 0x80 : 0));
  }
  const struct {
    std::string heard;
    bool init, nak;
  } kCases[] = {
      {kInit, true, false},
      {"login: \x16VCT\x99" + kInit, true, false},
      {parity, true, false},
      {kInit.substr(0, 20), false, false},
      {"\x01# N3\r", false, true},
      {"\x01#!N4\r", false, false},  // a NAK for packet 1: mid-transfer
      {"\x01# N4\r", false, false},  // its check fails
  };
  for (const auto& c : kCases) {
    SCOPED_TRACE(c.heard);
    const uint8_t* bytes = reinterpret_cast<const uint8_t*>(c.heard.data());
    EXPECT_EQ(IsKermitSendInit(bytes, c.heard.size()), c.init);
    EXPECT_EQ(IsKermitReceiverNak(bytes, c.heard.size()), c.nak);
  }
}

}  // namespace
