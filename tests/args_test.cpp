// The command line: baud rate conversion, argument walk, missing settings,
// and mode strings.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "ports/commdev.h"
#include "velcot.h"

namespace {

struct Parsed {
  Request request;
  Settings settings;
  std::vector<const char*> files;
};

// Parses a command line the way main does, defaults first.
Parsed ParseCommandLine(std::vector<const char*> args) {
  args.insert(args.begin(), "velcot");
  Parsed parsed;
  parsed.files.assign(args.size(), nullptr);
  parsed.settings = {kDefaultPort, kDefaultBaudrate, kDefaultMode, parsed.files.data(), 0};
  parsed.request =
      ParseArguments(int(args.size()), const_cast<char**>(args.data()), &parsed.settings);
  return parsed;
}

std::string MissingSetting(std::vector<const char*> args) {
  Parsed parsed = ParseCommandLine(args);
  const char* message = FindMissingSetting(parsed.settings);
  return message == nullptr ? "" : message;
}

TEST(ParseBaudrate, FollowsStrtoulInBaseZeroFor32Bits) {
  EXPECT_EQ(ParseBaudrate("9600"), 9600u);
  EXPECT_EQ(ParseBaudrate("0x2580"), 9600u);
  EXPECT_EQ(ParseBaudrate("010"), 8u);
  EXPECT_EQ(ParseBaudrate("9600baud"), 9600u);
  EXPECT_EQ(ParseBaudrate("  \t115200"), 115200u);
  EXPECT_EQ(ParseBaudrate("+300"), 300u);
  EXPECT_EQ(ParseBaudrate("fast"), 0u);
  EXPECT_EQ(ParseBaudrate("0"), 0u);
  EXPECT_EQ(ParseBaudrate("0x"), 0u);
  EXPECT_EQ(ParseBaudrate(""), 0u);
  EXPECT_EQ(ParseBaudrate("- 5"), 0u);
  EXPECT_EQ(ParseBaudrate("--5"), 0u);
}

TEST(ParseBaudrate, SaturatesAndWrapsLike32BitStrtoul) {
  EXPECT_EQ(ParseBaudrate("4294967295"), 4294967295u);
  EXPECT_EQ(ParseBaudrate("4294967296"), 4294967295u);
  EXPECT_EQ(ParseBaudrate("99999999999999999999999999"), 4294967295u);
  EXPECT_EQ(ParseBaudrate("-1"), 4294967295u);
  EXPECT_EQ(ParseBaudrate("-4294967295"), 1u);
  EXPECT_EQ(ParseBaudrate("-4294967296"), 4294967295u);
}

TEST(ParseArguments, NoArgumentsMeansReceiveModeWithDefaults) {
  Parsed parsed = ParseCommandLine({});
  EXPECT_EQ(parsed.request, Request::kRun);
  EXPECT_STREQ(parsed.settings.port, "COM1");
  EXPECT_EQ(parsed.settings.baudrate, 9600u);
  EXPECT_STREQ(parsed.settings.mode, "8N1");
  EXPECT_EQ(parsed.settings.file_count, 0);
  EXPECT_EQ(MissingSetting({}), "");
}

TEST(ParseArguments, HelpAndVersionWinWhereverTheyStand) {
  EXPECT_EQ(ParseCommandLine({"a.txt", "-h"}).request, Request::kHelp);
  EXPECT_EQ(ParseCommandLine({"-?", "-p"}).request, Request::kHelp);
  EXPECT_EQ(ParseCommandLine({"-x", "--help"}).request, Request::kHelp);
  EXPECT_EQ(ParseCommandLine({"a.txt", "--version", "-h"}).request, Request::kVersion);
  EXPECT_EQ(ParseCommandLine({"--", "-h"}).request, Request::kRun);  // a file name
}

TEST(ParseArguments, OptionValuesAreTakenWhateverTheyLookLike) {
  Parsed parsed = ParseCommandLine({"-p", "-h"});
  EXPECT_EQ(parsed.request, Request::kRun);
  EXPECT_STREQ(parsed.settings.port, "-h");
  EXPECT_EQ(parsed.settings.file_count, 0);

  parsed = ParseCommandLine({"-m", "-b", "-b", "-m"});
  EXPECT_STREQ(parsed.settings.mode, "-b");
  EXPECT_EQ(parsed.settings.baudrate, 0u);
}

TEST(ParseArguments, LastOptionCountsAndFilesKeepTheirOrder) {
  Parsed parsed = ParseCommandLine({"one", "-p", "COM2", "two", "-b", "0x2580", "-p", "COM3", "-m",
                                    "7O1", "three", "-b", "1200"});
  EXPECT_STREQ(parsed.settings.port, "COM3");
  EXPECT_EQ(parsed.settings.baudrate, 1200u);
  EXPECT_STREQ(parsed.settings.mode, "7O1");
  ASSERT_EQ(parsed.settings.file_count, 3);
  EXPECT_STREQ(parsed.files[0], "one");
  EXPECT_STREQ(parsed.files[1], "two");
  EXPECT_STREQ(parsed.files[2], "three");
  EXPECT_EQ(parsed.files[3], nullptr);
}

TEST(FindMissingSetting, ReportsTheFirstMissingSettingOnly) {
  EXPECT_EQ(MissingSetting({"-p"}), "missing port name\n");
  EXPECT_EQ(MissingSetting({"-b"}), "missing baudrate\n");
  EXPECT_EQ(MissingSetting({"-m"}), "missing mode string\n");
  EXPECT_EQ(MissingSetting({"-b", "fast"}), "missing baudrate\n");
  EXPECT_EQ(MissingSetting({"-b", "0"}), "missing baudrate\n");
  EXPECT_EQ(MissingSetting({"-b", "0", "-p"}), "missing port name\n");
  EXPECT_EQ(MissingSetting({"-b", "-m"}), "missing baudrate\n");
  // Empty values count as given; opening or configuring rejects them.
  EXPECT_EQ(MissingSetting({"-p", "", "-m", ""}), "");
}

// Every fault found before anything is opened: the line that says what,
// then the message the run ends with.
TEST(FindBadSetting, SaysWhatIsWrongBeforeTheMessageTheRunEndsWith) {
  const struct {
    std::vector<const char*> args;
    const char* said;
  } kCases[] = {
      {{"-b", "abc", "-p"}, "missing port name\n"},
      {{"-b", "abc"}, "-b abc: not a number\nmissing baudrate\n"},
      {{"-b", "0x"}, "-b 0x: \"x\" after the number\nmissing baudrate\n"},
      {{"-m", "8X1"}, "-m 8X1: parity is N, O or E, not \"X\"\ncouldn't configure port\n"},
      {{"-m", "7e1", "--protocol", "kermit"}, ""},
      {{"-m", "6N1", "--protocol", "kermit"}, "-m 6N1: kermit needs 7 or 8 data bits\n"},
      {{"--flow", "rtscts", "--rts", "off"}, "--rts: --flow rtscts drives RTS itself\n"},
      {{"--flow", "xonxoff", "--protocol=xmodem"},
       "--flow xonxoff: xmodem carries every byte value, XON and XOFF too; use --flow rtscts, or "
       "--protocol zmodem or kermit\n"},
      {{"-b", "0x2580", "-m", "8e2", "--flow", "xonxoff", "--protocol=zmodem", "--dtr", "on"}, ""},
      {{"--protocol", "xmodem"},
       "xmodem carries no file name: give the one to store under with -o NAME\n"},
      {{"--protocol", "xmodem-1k", "-o", "../x"},
       "-o ../x: not a plain file name in the current folder\n"},
      {{"--protocol", "xmodem", "-o", "got.bin"}, ""},
      {{"--protocol", "xmodem", "a", "b"},
       "xmodem sends one file; --protocol ymodem sends several\n"},
  };
  for (const auto& c : kCases) {
    LineControl control;
    EXPECT_EQ(FindBadSetting(ParseCommandLine(c.args).settings, &control), c.said) << c.args[1];
  }
}

TEST(ParseLineMode, AcceptsDataBitsParityAndStopBits) {
  LineFormat upper, lower;
  ASSERT_TRUE(ParseLineMode("8N1", &upper));
  ASSERT_TRUE(ParseLineMode("8n1", &lower));
  EXPECT_EQ(upper.data_bits, 8);
  EXPECT_EQ(upper.parity, 'N');
  EXPECT_EQ(upper.stop_bits, 1);
  EXPECT_EQ(lower.parity, 'N');

  ASSERT_TRUE(ParseLineMode("7o1", &lower));
  EXPECT_EQ(lower.data_bits, 7);
  EXPECT_EQ(lower.parity, 'O');
  ASSERT_TRUE(ParseLineMode("6e2", &lower));
  EXPECT_EQ(lower.data_bits, 6);
  EXPECT_EQ(lower.parity, 'E');
  EXPECT_EQ(lower.stop_bits, 2);

  // The data-bit count is left to the platform to refuse.
  ASSERT_TRUE(ParseLineMode("9N1", &lower));
  EXPECT_EQ(lower.data_bits, 9);
  ASSERT_TRUE(ParseLineMode("0N1", &lower));
  EXPECT_EQ(lower.data_bits, 0);
  ASSERT_TRUE(ParseLineMode("/N1", &lower));
  EXPECT_EQ(lower.data_bits, 255);
}

TEST(ParseLineMode, RefusesOtherParitiesStopBitsAndLengths) {
  LineFormat format;
  for (const char* mode : {"8M1", "8S1", "8X1", "8N3", "8N0", "8N", "8N11", "", "8N1x"}) {
    EXPECT_FALSE(ParseLineMode(mode, &format)) << mode;
  }
}

}  // namespace
