// The pure logic of the wire format, the names and the progress line:
// checksum, reply word, short names, received-name rules and the bytes of
// a drawing. Built for every platform.
#include <gtest/gtest.h>

#include <algorithm>
#include <cstring>
#include <string>
#include <vector>

#include "names.h"
#include "progress.h"
#include "scratch_util.h"
#include "store.h"
#include "stream.h"
#include "transfer.h"
#include "wire_util.h"

#ifdef _WIN32
#include <windows.h>
#endif

namespace {

Bytes NameField(const std::string& name) {
  Bytes field(NAME_FIELD_SIZE, 0);
  memcpy(field.data(), name.data(), name.size());
  return field;
}

std::string Cells(int done, int to_go) {
  return std::string(size_t(done), char(0xB2)) + std::string(size_t(to_go), char(0xB0));
}

// ---- wire format ----

TEST(GenerateChecksum, SumsPairsLowByteFirstWithAnOddLastByteHigh) {
  const uint8_t bytes[] = {0x01, 0x02, 0x03};
  EXPECT_EQ(GenerateChecksum(bytes, 0), 0x0000);
  EXPECT_EQ(GenerateChecksum(bytes, 1), 0x0100);
  EXPECT_EQ(GenerateChecksum(bytes, 2), 0x0201);
  EXPECT_EQ(GenerateChecksum(bytes, 3), 0x0501);
  EXPECT_EQ(GenerateChecksum(reinterpret_cast<const uint8_t*>("abc"), 3), 0xC561);
  Bytes ones(BLOCK_SIZE, 0xFF);
  EXPECT_EQ(GenerateChecksum(ones.data(), BLOCK_SIZE), 0xFE00);
  // Every single flipped bit changes the sum.
  Bytes block = PatternBytes(1023, 3);
  uint16_t sum = GenerateChecksum(block.data(), 1023);
  for (size_t i = 0; i < block.size(); i += 97) {
    for (int bit = 0; bit < 8; bit++) {
      block[i] ^= uint8_t(1 << bit);
      EXPECT_NE(GenerateChecksum(block.data(), 1023), sum) << i << ":" << bit;
      block[i] ^= uint8_t(1 << bit);
    }
  }
}

TEST(MakeReplyWord, IsAllOnesExactlyWhenTheChecksumsAgree) {
  EXPECT_EQ(MakeReplyWord(0xC561, 0xC561), 0xFFFF);
  EXPECT_EQ(MakeReplyWord(0x1234, 0x1230), 0x0003);
  EXPECT_EQ(MakeReplyWord(0x1230, 0x1234), 0xFFFB);
  EXPECT_EQ(MakeReplyWord(0x0000, 0x0000), 0xFFFF);
}

// ---- names ----

TEST(TruncFilename8Dot3, CutsNamesTo8Dot3) {
  struct Case {
    const char* source;
    const char* field;
    int shortened;
  };
  const Case cases[] = {
      {"readme.txt", "readme.txt", 0},
      {"README.TXT", "README.TXT", 0},
      {"verylongname.txt", "verylong.txt", 1},
      {"archive.tar.gz", "archive.tar", 1},
      {"name.jpeg", "name.jpe", 1},
      {"abcdefgh", "abcdefgh", 0},
      {"abcdefghi", "abcdefgh", 1},
      {"abcdefgh.txt", "abcdefgh.txt", 0},
      {"file.", "file.", 0},
      {".profile", ".pro", 1},
      {"a.b.c", "a.b", 1},
      {"noext", "noext", 0},
      {"", "", 0},
      {"dir\\x.html", "dir\\x.htm", 1},
      {"C:\\data\\report.txt", "C:\\data\\.txt", 1},
      {"..\\up.txt", ".", 1},
  };
  for (const Case& c : cases) {
    char field[NAME_FIELD_SIZE];
    memset(field, '#', sizeof field);
    EXPECT_EQ(TruncFilename8Dot3(c.source, field, NAME_FIELD_SIZE), c.shortened) << c.source;
    EXPECT_EQ(Bytes(field, field + NAME_FIELD_SIZE), NameField(c.field)) << c.source;
  }
}

TEST(FindBaseName, DropsDriveAndDirectories) {
  EXPECT_STREQ(FindBaseName("data/report.txt"), "report.txt");
  EXPECT_STREQ(FindBaseName("../up.txt"), "up.txt");
  EXPECT_STREQ(FindBaseName("report.txt"), "report.txt");
  EXPECT_STREQ(FindBaseName("dir/"), "");
#ifdef _WIN32
  EXPECT_STREQ(FindBaseName("C:\\data\\report.txt"), "report.txt");
  EXPECT_STREQ(FindBaseName("C:report.txt"), "report.txt");
#else
  // Only '/' separates directories here.
  EXPECT_STREQ(FindBaseName("C:\\data\\report.txt"), "C:\\data\\report.txt");
  EXPECT_STREQ(FindBaseName("dir/a\\b:c"), "a\\b:c");
#endif
}

TEST(IsPlainFileName, AcceptsOnlyPrintableNamesInTheCurrentDirectory) {
  for (const char* name :
       {"report.txt", "a", ".profile", "name with.spc", " lead", "\xE4.txt", ".velcot-a.txt"}) {
    EXPECT_TRUE(IsPlainFileName(name)) << name;
  }
  for (const char* name :
       {"", ".", "..", "../x", "/etc/x", "a\\b", "C:x", "a\x1b[2J", "tab\t", "del\x7f",
        ".velcot-1a2b3c4d.part", ".VELCOT-x.Part",
        // Windows would store these under another name.
        "...", "a.", "a ", "b. .", ".velcot-12345678.part.", ".velcot-12345678.part "}) {
    EXPECT_FALSE(IsPlainFileName(name)) << EscapeFileName(name);
  }
  EXPECT_EQ(EscapeFileName("a\x1b[2J\x7f\xE4z"), "a\\x1B[2J\\x7F\\xE4z");
}

TEST(IsPlainFileName, RefusesWindowsDeviceNamesInAnyCase) {
  for (const char* name :
       {"CON", "con", "Prn.txt", "aux.c", "NUL", "nul.tar.gz", "COM1", "com9.log", "LPT1",
        "lpt9.txt", "CON .txt", "conin$", "CONOUT$.x", "COM0", "com\xB9.txt", "LPT\xC2\xB2"}) {
    EXPECT_FALSE(IsPlainFileName(name)) << name;
  }
  // Only the device names themselves: longer or shorter stems are files.
  for (const char* name : {"CONFIG.SYS", "console", "COM10", "COM\xB4", "LPT", "nul_", "xcon.txt",
                           "auxx", "com1x.txt", ".con", "CO"}) {
    EXPECT_TRUE(IsPlainFileName(name)) << name;
  }
}

TEST(IsPlainFileName, RefusesWhatWindowsForbidsInFileNamesOnWindows) {
  for (const char* name : {"a<b", "a>b", "say\"hi\"", "a|b", "what?.txt", "*.txt"}) {
#ifdef _WIN32
    EXPECT_FALSE(IsPlainFileName(name)) << name;
#else
    EXPECT_TRUE(IsPlainFileName(name)) << name;  // ordinary names here
#endif
  }
}

// A path between velcots: what a receiver refuses is refused before any
// folder is made, whatever the system.
TEST(SplitReceivedPath, TakesRelativePathsOfPlainNamesWithinTheLimits) {
  const std::string part(PATH_PART_MAX, 'p');
  std::string longest = part;
  while (longest.size() + 1 + part.size() <= RECEIVED_PATH_MAX)
    longest += "/" + part;
  ASSERT_EQ(longest.size(), size_t(RECEIVED_PATH_MAX));
  ReceivedPath path;
  for (const std::string& name :
       {std::string("a.txt"), std::string("logs/2024/x.log"), std::string("logs/"),
        std::string("d\xC3\xA9j\xC3\xA0/\xE2\x82\xAC"), part + "/", longest}) {
    ASSERT_TRUE(SplitReceivedPath(name.c_str(), &path)) << name.substr(0, 40);
    std::string joined;
    for (const std::string& each : path.parts)
      joined += each + "/";
    EXPECT_EQ(joined, path.folder ? name : name + "/");
    EXPECT_EQ(path.folder, name.back() == '/');
  }
  for (const std::string& name : {std::string(""),
                                  std::string("/"),
                                  std::string("/etc/passwd"),
                                  std::string("a//b"),
                                  std::string("./a"),
                                  std::string("a/./b"),
                                  std::string("a/.."),
                                  std::string("../x"),
                                  std::string("a/../../x"),
                                  std::string("C:/x"),
                                  std::string("C:x"),
                                  std::string("c:\\x"),
                                  std::string("\\\\server\\share\\x"),
                                  std::string("a\\..\\b"),
                                  std::string("a/CON/b"),
                                  std::string("a/nul.txt"),
                                  std::string("a/b./c"),
                                  std::string("a/ /c"),
                                  std::string("a/.velcot-1a2b3c4d.part"),
                                  std::string("a/\x1b[2J"),
                                  std::string("a\xC2\x9B/b"),
                                  std::string("caf\xE9/x"),
                                  std::string("a/") + part + "p",
                                  longest + "x",
                                  "x" + longest}) {
    EXPECT_FALSE(SplitReceivedPath(name.c_str(), &path)) << EscapeFileName(name.c_str());
  }
}

// FNV-1a's own check value for "a"; negative times in two's complement.
TEST(FormKeptPartName, NamesAPartByPathSizeAndTimeInTheTemporaryFilesForm) {
  std::string part = FormKeptPartName("a", 0x1234, -1);
  EXPECT_EQ(part, ".velcot-af63dc4c8601ec8c-0000000000001234-ffffffffffffffff.part");
  EXPECT_FALSE(IsPlainFileName(part.c_str()));
  uint64_t hash = 0, size = 0;
  int64_t mtime = 0;
  EXPECT_TRUE(ReadKeptPartName(part.c_str(), &hash, &size, &mtime));
  EXPECT_EQ(hash + size + uint64_t(mtime), HashReceivedPath("a") + 0x1234u - 1);
  part[30] = 'g';
  EXPECT_FALSE(ReadKeptPartName(part.c_str(), &hash, &size, &mtime));
}

#ifdef _WIN32
// Windows finds a file under its short (8.3) alias as well: a received name
// that is another file's alias would replace that file, and is refused.
TEST(OpenFileToStore, RefusesANameThatIsAnotherFilesShortAlias) {
  const char* kLong = "velcot-test-long-name.txt";
  fclose(fopen(kLong, "wb"));
  char alias[MAX_PATH] = "";
  GetShortPathNameA(kLong, alias, MAX_PATH);
  std::string temp_name;
  if (strcmp(alias, kLong) != 0 && alias[0] != '\0') {
    EXPECT_EQ(OpenFileToStore(alias, &temp_name), nullptr) << alias;
  }
  FILE* same = OpenFileToStore(kLong, &temp_name);
  EXPECT_NE(same, nullptr);
  if (same != nullptr) DiscardFile(same, temp_name);
  remove(kLong);
  EXPECT_NE(alias[0], '\0');
}
#endif

TEST(IsValidUtf8, AcceptsWellFormedUtf8Only) {
  for (const char* good : {"", "plain.txt", "caf\xC3\xA9", "\xE2\x82\xAC", "\xF0\x9F\x98\x80"}) {
    EXPECT_TRUE(IsValidUtf8(good)) << EscapeFileName(good);
  }
  // A lone Latin-1 byte, a cut sequence, an overlong '/', a surrogate, and
  // beyond U+10FFFF.
  for (const char* bad : {"caf\xE9", "\xE2\x82", "\xC0\xAF", "\xED\xA0\x80", "\xF4\x90\x80\x80"}) {
    EXPECT_FALSE(IsValidUtf8(bad)) << EscapeFileName(bad);
  }
  EXPECT_FALSE(HasNoC1Controls("a\xC2\x9B[2J"));
  EXPECT_TRUE(HasNoC1Controls("\xC2\xA0\xC3\x9B"));
}

#ifndef _WIN32
TEST(ConvertNameToUtf8, KeepsUtf8AndReadsOtherNamesAsLatin1) {
  EXPECT_EQ(ConvertNameToUtf8("r\xC3\xA9sum\xC3\xA9.txt"), "r\xC3\xA9sum\xC3\xA9.txt");
  EXPECT_EQ(ConvertNameToUtf8("r\xE9sum\xE9.txt"), "r\xC3\xA9sum\xC3\xA9.txt");
}
#endif

// The check value of CRC-32 (zlib, ZMODEM), in one piece and in two.
TEST(UpdateCrc32, GivesTheStandardCheckValue) {
  const uint8_t* digits = reinterpret_cast<const uint8_t*>("123456789");
  EXPECT_EQ(UpdateCrc32(0, digits, 9), 0xCBF43926u);
  EXPECT_EQ(UpdateCrc32(UpdateCrc32(0, digits, 4), digits + 4, 5), 0xCBF43926u);
  EXPECT_EQ(UpdateCrc32(0, digits, 0), 0u);
  EXPECT_EQ(UpdateCrc32(0xCBF43926u, nullptr, 0), 0xCBF43926u);  // an empty vector's data()
}

// Long runs take other paths through a table-driven CRC than nine bytes do:
// against the bit-by-bit one, whole and in pieces at odd places.
TEST(UpdateCrc32, AgreesWithTheBitwiseCrcOnLongRuns) {
  std::string bytes;
  uint32_t state = 1;
  for (int i = 0; i < 70001; i++) {
    state = state * 1103515245u + 12345u;
    bytes += char(state >> 23);
  }
  const uint8_t* data = reinterpret_cast<const uint8_t*>(bytes.data());
  EXPECT_EQ(UpdateCrc32(0, data, bytes.size()), Crc32(bytes));
  uint32_t pieces = 0;
  for (size_t at = 0, step = 1; at < bytes.size(); at += step, step = step * 3 + 1)
    pieces = UpdateCrc32(pieces, data + at, std::min(step, bytes.size() - at));
  EXPECT_EQ(pieces, Crc32(bytes));
}

TEST(IsStreamField, TellsTheStreamingFieldFromEveryClassicNameField) {
  EXPECT_TRUE(IsStreamField(STREAM_FIELD));
  char damaged[12];
  memcpy(damaged, STREAM_FIELD, 12);
  damaged[0] = 0x40;  // its first byte damaged: no classic name holds the rest
  EXPECT_TRUE(IsStreamField(damaged));
  damaged[5] = 'x';  // two bytes damaged: still it after READY_STREAM
  EXPECT_FALSE(IsStreamField(damaged));
  EXPECT_TRUE(IsDamagedStreamField(damaged));
  damaged[10] = 'x';
  EXPECT_FALSE(IsDamagedStreamField(damaged));
  char field[12];
  for (const char* name : {"report.txt", "", "VELCOT", "abcdefgh.txt"}) {
    memset(field, 0, sizeof field);
    memcpy(field, name, strlen(name));
    EXPECT_FALSE(IsStreamField(field)) << name;
    EXPECT_FALSE(IsDamagedStreamField(field)) << name;
  }
}

// ---- progress line ----

TEST(FormatProgress, DrawsBarNameCountsAndPercentage) {
  EXPECT_EQ(FormatProgress("report.txt", 1000, 500, 0, false),
            Cells(15, 15) + "   report.txt 500/1000 (50.0%)\r");
  EXPECT_EQ(FormatProgress("a", 3000, 1024, 0, false),
            Cells(10, 20) + "            a 1024/3000 (34.1%)\r");
  EXPECT_EQ(FormatProgress("a", 3000, 3000, 0, false),
            Cells(30, 0) + "            a 3000/3000 (100.0%)\r");
  // The product of done and 30 does not fit in 32 bits.
  EXPECT_EQ(FormatProgress("big", 4000000000u, 3000000000u, 0, false),
            Cells(22, 8) + "          big 3000000000/4000000000 (75.0%)\r");
  // Counts beyond 32 bits, as the streaming exchange carries them.
  EXPECT_EQ(FormatProgress("huge", 6000000000u, 4500000000u, 0, false),
            Cells(22, 8) + "         huge 4500000000/6000000000 (75.0%)\r");
}

TEST(FormatProgress, ShowsErrorsEmptyFilesAndLongNames) {
  EXPECT_EQ(FormatProgress("x.bin", 2500, 1024, 1, false),
            Cells(12, 18) + "        x.bin 1024/2500 (ERROR)\r");
  EXPECT_EQ(FormatProgress("empty", 0, 0, 0, false), Cells(30, 0) + "        empty 0/0 (100.0%)\r");
  EXPECT_EQ(FormatProgress("a/much/longer/path.txt", 10, 0, 0, false),
            Cells(0, 30) + " a/much/longer/path.txt 0/10 (0.0%)\r");
}

// Controls and C1 controls are escaped, the characters of a name are not:
// a UTF-8 console takes UTF-8 characters but U+0080 to U+009F and bytes
// of no character; another takes every byte but 0x80 to 0x9F.
TEST(FormatProgress, EscapesWhatATerminalWouldActOnInNames) {
  struct Case {
    const char* name;
    const char* shown;  // on a UTF-8 console
    const char* shown_8bit;
  };
  const Case cases[] = {
      {"a\x1b]0;x\a.txt", "a\\x1B]0;x\\x07.txt", "a\\x1B]0;x\\x07.txt"},
      {"del\x7f", "del\\x7F", "del\\x7F"},
      {"caf\xC3\xA9", "caf\xC3\xA9", "caf\xC3\xA9"},
      {"csi\xC2\x9B"
       "2J",
       "csi\\xC2\\x9B2J", "csi\xC2\\x9B2J"},
      {"nel\x85", "nel\\x85", "nel\\x85"},
      {"\xE4.txt", "\\xE4.txt", "\xE4.txt"},
      {"cut\xE2\x96", "cut\\xE2\\x96", "cut\xE2\\x96"},
      {"\xED\xA0\x80\xF0\x9F\x98\x80", "\\xED\\xA0\\x80\xF0\x9F\x98\x80",
       "\xED\xA0\\x80\xF0\\x9F\\x98\\x80"},
  };
  for (const Case& c : cases) {
    EXPECT_EQ(EscapeForTerminal(c.name, true), c.shown) << EscapeFileName(c.name);
    EXPECT_EQ(EscapeForTerminal(c.name, false), c.shown_8bit) << EscapeFileName(c.name);
  }
  // The name's column is as wide as what is shown.
  EXPECT_EQ(FormatProgress("a\x1b", 10, 0, 0, false),
            Cells(0, 30) + "        a\\x1B 0/10 (0.0%)\r");
}

TEST(FormatProgress, UsesShadeCharactersOnAUtf8Console) {
  std::string dark = "\xE2\x96\x93", light = "\xE2\x96\x91";
  std::string bar;
  for (int i = 0; i < 30; i++)
    bar += i < 15 ? dark : light;
  EXPECT_EQ(FormatProgress("report.txt", 1000, 500, 0, true),
            bar + "   report.txt 500/1000 (50.0%)\r");
}

#ifdef _WIN32
std::string CapturePrintProgress() {
  testing::internal::CaptureStdout();
  PrintProgress("report.txt", 1000, 500, 0);
  return testing::internal::GetCapturedStdout();
}

// Run with and without a console (the Wine tests do both).
TEST(PrintProgress, FollowsTheConsoleOutputCodePage) {
  std::string cp437 = FormatProgress("report.txt", 1000, 500, 0, false);
  std::string utf8 = FormatProgress("report.txt", 1000, 500, 0, true);
  UINT original = GetConsoleOutputCP();
  if (original == 0) {  // no console: output to a file or a pipe
    EXPECT_EQ(CapturePrintProgress(), cp437);
    return;
  }
  ASSERT_TRUE(SetConsoleOutputCP(CP_UTF8));
  EXPECT_EQ(CapturePrintProgress(), utf8);
  ASSERT_TRUE(SetConsoleOutputCP(437));
  EXPECT_EQ(CapturePrintProgress(), cp437);
  SetConsoleOutputCP(original);
}
#endif

}  // namespace
