// The command line: baud rate conversion, argument walk, missing settings,
// and mode strings.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "commdev.h"
#include "velcot.h"

namespace {

struct Parsed {
  bool help;
  Settings settings;
  std::vector<const char*> files;
};

// Parses a command line the way main does, defaults first.
Parsed ParseCommandLine(std::vector<const char*> args) {
  args.insert(args.begin(), "velcot");
  Parsed parsed;
  parsed.files.assign(args.size(), nullptr);
  parsed.settings = {kDefaultPort, kDefaultBaudrate, kDefaultMode, parsed.files.data(), 0};
  parsed.help = ParseArguments(int(args.size()), const_cast<char**>(args.data()), &parsed.settings);
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
  EXPECT_FALSE(parsed.help);
  EXPECT_STREQ(parsed.settings.port, "COM1");
  EXPECT_EQ(parsed.settings.baudrate, 9600u);
  EXPECT_STREQ(parsed.settings.mode, "8N1");
  EXPECT_EQ(parsed.settings.file_count, 0);
  EXPECT_EQ(MissingSetting({}), "");
}

TEST(ParseArguments, HelpWinsWhereverItStands) {
  EXPECT_TRUE(ParseCommandLine({"a.txt", "-h"}).help);
  EXPECT_TRUE(ParseCommandLine({"-?", "-p"}).help);
  EXPECT_FALSE(ParseCommandLine({"--help"}).help);  // a file name
  EXPECT_FALSE(ParseCommandLine({"-H"}).help);
}

TEST(ParseArguments, OptionValuesAreTakenWhateverTheyLookLike) {
  Parsed parsed = ParseCommandLine({"-p", "-h"});
  EXPECT_FALSE(parsed.help);
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

TEST(ParseArguments, JoinedAndLongFormsAreFileNames) {
  Parsed parsed = ParseCommandLine({"-pCOM2", "--port", "-B"});
  EXPECT_STREQ(parsed.settings.port, "COM1");
  EXPECT_EQ(parsed.settings.file_count, 3);
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
