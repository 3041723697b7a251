// The pure logic of the wire format, the names and the progress line:
// checksum, reply word, short names, received-name rules, the session's
// records and selective repeat, and the bytes of a drawing. Built for every
// platform.
#include <gtest/gtest.h>

#include <algorithm>
#include <chrono>
#include <cmath>
#include <cstring>
#include <string>
#include <vector>

#include "base/progress.h"
#include "base/wire.h"
#include "files/names.h"
#include "files/store.h"
#include "ports/telnet.h"
#include "protocols/velcot/records.h"
#include "protocols/velcot/repeat.h"
#include "protocols/velcot/resume.h"
#include "wire_util.h"

#ifdef _WIN32
#include <windows.h>
#endif

using namespace std::string_literals;

namespace {

std::string Cells(int done, int to_go) {
  return std::string(size_t(done), char(0xB2)) + std::string(size_t(to_go), char(0xB0));
}

// ---- network ports ----

TEST(ParseNetworkAddress, TakesPyserialsNamesAndLeavesDevicesAlone) {
  const struct {
    const char* name;
    AddressKind kind;
    const char* host;
    const char* service;
    bool telnet;
  } kCases[] = {
      {"socket://ser2net.local:2000", AddressKind::kNetwork, "ser2net.local", "2000", false},
      {"tcp:10.0.0.5:4001", AddressKind::kNetwork, "10.0.0.5", "4001", false},
      {"rfc2217://[::1]:7000", AddressKind::kNetwork, "::1", "7000", true},
      {"rfc2217://box:telnet", AddressKind::kNetwork, "box", "telnet", true},
      {"socket://host", AddressKind::kMalformed, "", "", false},
      {"tcp::2000", AddressKind::kMalformed, "", "", false},
      {"socket://::1:2000", AddressKind::kMalformed, "", "", false},  // IPv6 takes brackets
      {"/dev/ttyUSB0", AddressKind::kNotNetwork, "", "", false},
      {"COM3", AddressKind::kNotNetwork, "", "", false},
      {"-", AddressKind::kNotNetwork, "", "", false},
  };
  for (const auto& c : kCases) {
    SCOPED_TRACE(c.name);
    NetworkAddress address;
    ASSERT_EQ(ParseNetworkAddress(c.name, &address), c.kind);
    if (c.kind != AddressKind::kNetwork) continue;
    EXPECT_EQ(address.host, c.host);
    EXPECT_EQ(address.service, c.service);
    EXPECT_EQ(address.telnet, c.telnet);
  }
}

// What a server sends, byte for byte, and what the client makes of it.
std::string Decode(TelnetState* state, const std::string& in, std::string* reply) {
  std::string data(in.size(), '\0');
  size_t n = DecodeTelnet(state, reinterpret_cast<const uint8_t*>(in.data()), in.size(),
                          reinterpret_cast<uint8_t*>(&data[0]), reply);
  return data.substr(0, n);
}

TEST(DecodeTelnet, PassesDataAndAnswersOnlyWhatChanges) {
  TelnetState state;
  StartTelnet(&state, true);
  std::string reply;
  // ser2net's greeting: SGA and BINARY, already asked for, need no word;
  // ECHO is refused.
  EXPECT_EQ(Decode(&state, "\xFF\xFB\x03\xFF\xFD\x03\xFF\xFB\x01\xFF\xFD\x00\xFF\xFD\x2C"s, &reply),
            "");
  EXPECT_EQ(reply, "\xFF\xFE\x01"s);
  // 0xFF doubled is data; commands split anywhere between two reads.
  reply.clear();
  EXPECT_EQ(Decode(&state,
                   "a\xFF\xFF\0"
                   "b\xFF"s,
                   &reply),
            "a\xFF\0"
            "b"s);
  EXPECT_EQ(Decode(&state,
                   "\xF1"
                   "c\xFF\xFE"s,
                   &reply),
            "c");  // NOP, then DONT split
  EXPECT_EQ(Decode(&state,
                   "\x00"
                   "d"s,
                   &reply),
            "d");
  EXPECT_EQ(reply, "\xFF\xFC\x00"s);  // BINARY off on request, once
  EXPECT_FALSE(state.we_binary);
  // Garbage: unknown options refused, a short answer ignored, a
  // subnegotiation never closed ended by the next command, a lone SE.
  reply.clear();
  const std::string garbage =
      "\xFF\xFB\xC8"
      "\xFF\xFA\x2C\x65\x00\xFF\xF0"
      "e"
      "\xFF\xFA\x99xyz\xFF\xF1"
      "f"
      "\xFF\xF0"
      "g"s;
  EXPECT_EQ(Decode(&state, garbage, &reply), "efg");
  EXPECT_EQ(reply, "\xFF\xFE\xC8"s);
}

TEST(ComPortSettings, AskWithIacDoubledAndTakeOnlyWhatWasAsked) {
  TelnetState state;
  StartTelnet(&state, true);
  LineFormat format = {8, 'E', 1};
  std::string request = RequestComPortSettings(&state, 0xFF00FF, format);
  EXPECT_EQ(request.substr(0, 12), "\xFF\xFA\x2C\x01\x00\xFF\xFF\x00\xFF\xFF\xFF\xF0"s);
  EXPECT_NE(request.find("\xFF\xFA\x2C\x03\x03\xFF\xF0"s), std::string::npos);  // even parity
  bool complete = true;
  EXPECT_EQ(CheckComPortAnswers(state, 0xFF00FF, format, &complete), "");
  EXPECT_FALSE(complete);
  std::string reply;
  const std::string answers =
      "\xFF\xFA\x2C\x65\x00\xFF\xFF\x00\xFF\xFF\xFF\xF0\xFF\xFA\x2C\x66\x08\xFF\xF0"s +
      "\xFF\xFA\x2C\x68\x01\xFF\xF0\xFF\xFA\x2C\x69\x01\xFF\xF0"s;
  Decode(&state, answers + "\xFF\xFA\x2C\x67\x03\xFF\xF0"s, &reply);
  EXPECT_EQ(CheckComPortAnswers(state, 0xFF00FF, format, &complete), "");
  EXPECT_TRUE(complete);
  Decode(&state, "\xFF\xFA\x2C\x67\x01\xFF\xF0"s, &reply);  // parity changed to none
  EXPECT_EQ(CheckComPortAnswers(state, 0xFF00FF, format, &complete),
            "the port server set parity 1 when 3 was asked");
  Decode(&state, "\xFF\xFE\x2C"s, &reply);
  EXPECT_EQ(CheckComPortAnswers(state, 0xFF00FF, format, &complete),
            "the port server refuses COM-PORT-OPTION (RFC 2217)");
}

#ifdef _WIN32
// -p - on Windows: the pipes a program hands over on standard input and
// output are a line without a speed, until the other end closes.
TEST(OpenComPort, TakesPipesOnStandardInputAndOutputAsTheLine) {
  HANDLE ours_read, theirs_write, theirs_read, ours_write;
  ASSERT_TRUE(CreatePipe(&ours_read, &theirs_write, nullptr, 0));
  ASSERT_TRUE(CreatePipe(&theirs_read, &ours_write, nullptr, 0));
  HANDLE in = GetStdHandle(STD_INPUT_HANDLE), out = GetStdHandle(STD_OUTPUT_HANDLE);
  SetStdHandle(STD_INPUT_HANDLE, ours_read);
  SetStdHandle(STD_OUTPUT_HANDLE, ours_write);
  PortHandle port = OpenComPort("-");
  SetStdHandle(STD_INPUT_HANDLE, in);
  SetStdHandle(STD_OUTPUT_HANDLE, out);
  ASSERT_NE(port, kInvalidPortHandle);
  EXPECT_TRUE(ConfigureComPort(port, 115200, "8N1"));
  EXPECT_EQ(WaitForByte(port, 50), PortResult::kTimedOut);
  DWORD moved = 0;
  ASSERT_TRUE(WriteFile(theirs_write, "a\xFF", 2, &moved, nullptr));
  EXPECT_EQ(WaitForByte(port, 5000), PortResult::kDone);
  uint8_t a = 0, ff = 0;
  EXPECT_EQ(ReadByte(port, &a), PortResult::kDone);
  EXPECT_EQ(ReadByte(port, &ff), PortResult::kDone);
  EXPECT_EQ(a, 'a');
  EXPECT_EQ(ff, 0xFF);
  const uint8_t answer[] = {0x33, 0xFF};
  EXPECT_EQ(WriteBytes(port, answer, 2), PortResult::kDone);
  EXPECT_EQ(FlushPort(port), PortResult::kDone);
  char back[2] = {};
  ASSERT_TRUE(ReadFile(theirs_read, back, 2, &moved, nullptr));
  EXPECT_EQ(std::string(back, moved), "\x33\xFF");
  CloseHandle(theirs_write);
  EXPECT_EQ(ReadByte(port, &a), PortResult::kLost);
  EXPECT_EQ(GetPortError(port), kHungUp);
  CloseComPort(port);
  for (HANDLE handle : {ours_read, ours_write, theirs_read})
    CloseHandle(handle);
}
#endif

// ---- wire format ----

TEST(GenerateChecksum, SumsPairsLowByteFirstWithAnOddLastByteHigh) {
  const uint8_t bytes[] = {0x01, 0x02, 0x03};
  EXPECT_EQ(GenerateChecksum(bytes, 0), 0x0000);
  EXPECT_EQ(GenerateChecksum(bytes, 1), 0x0100);
  EXPECT_EQ(GenerateChecksum(bytes, 2), 0x0201);
  EXPECT_EQ(GenerateChecksum(bytes, 3), 0x0501);
  EXPECT_EQ(GenerateChecksum(reinterpret_cast<const uint8_t*>("abc"), 3), 0xC561);
  Bytes ones(kBlockSize, 0xFF);
  EXPECT_EQ(GenerateChecksum(ones.data(), kBlockSize), 0xFE00);
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
    char field[kNameFieldSize];
    memset(field, '#', sizeof field);
    EXPECT_EQ(TruncFilename8Dot3(c.source, field, kNameFieldSize), c.shortened) << c.source;
    EXPECT_EQ(Bytes(field, field + kNameFieldSize), NameField(c.field)) << c.source;
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
  // A part IsPlainFileName refuses, within the path or last, stands for them all.
  for (const char* name : {"", "/", "/etc/passwd", "a//b", "./a", "a/./b", "a/..", "../x",
                           "a/../../x", "C:/x", "C:x", "\\\\server\\share\\x", "a\\..\\b",
                           "a/CON/b", "a/.velcot-1a2b3c4d.part", "a\xC2\x9B/b", "caf\xE9/x"}) {
    EXPECT_FALSE(SplitReceivedPath(name, &path)) << EscapeFileName(name);
  }
  for (const std::string& name : {"a/" + part + "p", longest + "x", "x" + longest}) {
    EXPECT_FALSE(SplitReceivedPath(name.c_str(), &path)) << name.size();
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
  ReceivedFile received;
  if (strcmp(alias, kLong) != 0 && alias[0] != '\0') {
    EXPECT_FALSE(OpenFileToStore(alias, false, &received)) << alias;
  }
  bool same = OpenFileToStore(kLong, false, &received);
  EXPECT_TRUE(same);
  if (same) DiscardFile(&received);
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

// The check value of CRC-16/XMODEM, in one piece and in two.
TEST(UpdateCrc16, GivesTheStandardCheckValue) {
  const uint8_t* digits = reinterpret_cast<const uint8_t*>("123456789");
  EXPECT_EQ(UpdateCrc16(0, digits, 9), 0x31C3);
  EXPECT_EQ(UpdateCrc16(UpdateCrc16(0, digits, 4), digits + 4, 5), 0x31C3);
  EXPECT_EQ(UpdateCrc16(0x31C3, nullptr, 0), 0x31C3);
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
  EXPECT_TRUE(IsStreamField(kStreamField));
  uint8_t damaged[12];
  memcpy(damaged, kStreamField, 12);
  damaged[0] = 0x40;  // its first byte damaged: no classic name holds the rest
  EXPECT_TRUE(IsStreamField(damaged));
  damaged[5] = 'x';  // two bytes damaged: still it after READY_STREAM
  EXPECT_FALSE(IsStreamField(damaged));
  EXPECT_TRUE(IsDamagedStreamField(damaged));
  damaged[10] = 'x';
  EXPECT_FALSE(IsDamagedStreamField(damaged));
  uint8_t field[12];
  for (const char* name : {"report.txt", "", "VELCOT", "abcdefgh.txt"}) {
    memset(field, 0, sizeof field);
    memcpy(field, name, strlen(name));
    EXPECT_FALSE(IsStreamField(field)) << name;
    EXPECT_FALSE(IsDamagedStreamField(field)) << name;
  }
}

// ---- the session's records ----

Bytes Concat(Bytes a, const Bytes& b) {
  a.insert(a.end(), b.begin(), b.end());
  return a;
}

// What a reader makes of S fed in pieces of piece bytes: one event after
// another, the data of one item counted together.
std::string ReadEvents(uint64_t first_size, const Bytes& s, size_t piece, uint8_t flags = 0) {
  RecordReader reader;
  StartRecords(&reader, first_size);
  reader.flags_agreed = flags;
  std::string events;
  uint64_t data = 0;
  for (size_t at = 0; at < s.size();) {
    size_t used = 0;
    Record record;
    RecordEvent event =
        ReadRecord(&reader, s.data() + at, std::min(piece, s.size() - at), &used, &record);
    at += used;
    if (event == RecordEvent::kData) data += record.length;
    if (event == RecordEvent::kNeedMore || event == RecordEvent::kData) continue;
    if (data > 0) events += "D" + std::to_string(data) + " ";
    data = 0;
    if (event == RecordEvent::kEnd) events += "E" + std::to_string(record.crc) + " ";
    if (event == RecordEvent::kCancel) events += "C ";
    if (event == RecordEvent::kQuit) events += "Q ";
    if (event == RecordEvent::kOrigin) events += "O" + std::to_string(record.offset) + " ";
    if (event == RecordEvent::kFile) {
      if (record.file.flags != 0) events += "waits ";
      events += "F" + std::to_string(record.file.size) + "," + std::to_string(record.file.mtime) +
                "," + std::to_string(record.file.mode) + "," + record.file.name + " ";
    }
    if (event == RecordEvent::kBroken) return events + "broken";
  }
  return events;
}

// Items back to back: the first one's data, an empty file, one longer than
// a DATA record, one cancelled, QUIT; in pieces of any size, the same.
TEST(ReadRecord, TakesItemsBackToBackInPiecesOfAnySize) {
  Bytes s;
  PutDataHeader(&s, 3);
  s.insert(s.end(), {1, 2, 3});
  PutEndRecord(&s, 0xCBF43926);
  PutFileRecord(&s, 0, -5, 0640, "empty.bin");
  PutEndRecord(&s, 0);
  PutFileRecord(&s, 70000, 1767225600, 0644, "long ✓.bin");
  for (size_t n : {65536u, 4464u}) {
    PutDataHeader(&s, n);
    s.insert(s.end(), n, 0x55);
  }
  PutEndRecord(&s, 7);
  PutFileRecord(&s, 10, -1767225600, 0600, "c.bin");
  s.push_back('C');
  s.push_back('Q');
  for (size_t piece : {size_t(1), size_t(7), s.size()}) {
    EXPECT_EQ(ReadEvents(3, s, piece),
              "D3 E3421780262 F0,-5,416,empty.bin E0 F70000,1767225600,420,long ✓.bin D70000 E7 "
              "F10,-1767225600,384,c.bin C Q ")
        << "in pieces of " << piece;
  }
}

// With resume agreed: the first item goes on from an offset, a waiting item
// from 0, another from its last byte (no DATA), one without ORIGIN.
TEST(ReadRecord, TakesOriginsAtTheStartOfWaitingItems) {
  Bytes s;
  PutOriginRecord(&s, 200000);
  PutDataHeader(&s, 2);
  s.insert(s.end(), {1, 2});
  PutEndRecord(&s, 1);
  PutFileRecord(&s, 5, 0, 0644, "again.bin", kFileWaits);
  PutOriginRecord(&s, 0);
  PutDataHeader(&s, 5);
  s.insert(s.end(), 5, 9);
  PutEndRecord(&s, 2);
  PutFileRecord(&s, 5, 0, 0644, "whole.bin", kFileWaits);
  PutOriginRecord(&s, 5);
  PutEndRecord(&s, 3);
  PutFileRecord(&s, 1, 0, 0644, "small.bin");
  PutDataHeader(&s, 1);
  s.push_back(7);
  PutEndRecord(&s, 4);
  s.push_back('Q');
  for (size_t piece : {size_t(1), s.size()}) {
    EXPECT_EQ(ReadEvents(200002, s, piece, kFileWaits),
              "O200000 D2 E1 waits F5,0,420,again.bin O0 D5 E2 waits F5,0,420,whole.bin O5 E3 "
              "F1,0,420,small.bin D1 E4 Q ")
        << "in pieces of " << piece;
  }
}

// Where no record may be, or a field is out of bounds, S is broken, and
// stays so.
TEST(ReadRecord, FindsNothingWhereNoRecordMayBe) {
  Bytes end_first = {'E', 0, 0, 0, 0};  // item 0 of size 0 done
  struct Row {
    const char* what;
    uint64_t first_size;
    Bytes s;
    uint8_t flags = 0;  // agreed
  };
  auto with = [&](Bytes tail) { return Concat(end_first, tail); };
  const Row rows[] = {
      {"DATA beyond the size", 3, {'D', 4, 1, 2, 3, 4}},
      {"DATA of nothing", 3, {'D', 0}},
      {"DATA longer than a record", 70000, {'D', 0x84, 0x80, 0x01}},
      {"END before the data", 3, {'E', 0, 0, 0, 0}},
      {"FILE within an item", 3, {'F', 0, 0, 0, 0, 1, 'a'}},
      {"QUIT within an item", 3, {'Q'}},
      {"a record of no kind", 0, with({'Z'})},
      {"DATA between items", 0, with({'D', 1, 0})},
      {"a flag", 0, with({'F', 1, 0, 0, 0, 1, 'a'})},
      {"mode above 0777", 0, with({'F', 0, 0, 0, 0x84, 0x00, 1, 'a'})},
      {"a name of nothing", 0, with({'F', 0, 0, 0, 0, 0})},
      {"a name of 256 bytes", 0, with({'F', 0, 0, 0, 0, 0x82, 0x00})},
      {"a varint with a leading 0x80", 0, with({'F', 0, 0x80, 0x01, 0, 0, 1, 'a'})},
      {"a varint over 64 bits", 0,
       with({'F', 0, 0x82, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0x7F, 0, 0, 1, 'a'})},
      {"anything after QUIT", 0, with({'Q', 'Q'})},
      {"ORIGIN beyond the size", 3, {'O', 4}, kFileWaits},
      {"ORIGIN after DATA", 3, {'D', 1, 0, 'O', 1}, kFileWaits},
      {"ORIGIN twice", 3, {'O', 1, 'O', 1}, kFileWaits},
      {"ORIGIN between items", 0, with({'O', 0}), kFileWaits},
      {"a flag not agreed", 0, with({'F', 2, 0, 0, 0, 1, 'a'}), kFileWaits},
  };
  for (const Row& row : rows) {
    SCOPED_TRACE(row.what);
    std::string events =
        ReadEvents(row.first_size, Concat(row.s, {'Q'}), row.s.size() + 1, row.flags);
    EXPECT_EQ(events.substr(events.size() < 6 ? 0 : events.size() - 6), "broken") << events;
  }
}

// ---- resume ----

// ACCEPT offers nothing in its 8-byte form; `a` and an offer above 0 take
// 12 bytes; each reads back as written.
TEST(PutResumeOffer, TakesTheShortFormOnlyForAnAcceptOfNothing) {
  const struct Row {
    ResumeOffer offer;
    bool as_accept;
    Bytes payload;
  } rows[] = {
      {{0, 0}, true, Bytes(8, 0)},
      {{0, 0}, false, Bytes(12, 0)},
      {{0x123456789A, 0xCBF43926},
       true,
       {0, 0, 0, 0x12, 0x34, 0x56, 0x78, 0x9A, 0xCB, 0xF4, 0x39, 0x26}},
      {{4096, 1}, false, {0, 0, 0, 0, 0, 0, 0x10, 0, 0, 0, 0, 1}},
  };
  for (const Row& row : rows) {
    uint8_t payload[12];
    uint16_t length = PutResumeOffer(payload, row.offer, row.as_accept);
    EXPECT_EQ(Bytes(payload, payload + length), row.payload);
    ResumeOffer back = ReadResumeOffer(payload, length);
    EXPECT_EQ(back.offset, row.offer.offset);
    EXPECT_EQ(back.crc, row.offer.crc);
  }
}

// ---- selective repeat ----

// The segment size that suits the line: about 134 bytes at a bit error
// rate of 1e-4 (8e-4 a byte), the most where nothing is lost, the least
// where nearly everything is.
TEST(ComputeBestSegment, FollowsTheDamageRate) {
  double lost = 1 - std::exp(-8e-4 * 150);
  EXPECT_NEAR(double(ComputeBestSegment(lost, 150)), 134, 6);
  EXPECT_EQ(ComputeBestSegment(0, 150), kSegmentMax);
  EXPECT_EQ(ComputeBestSegment(0.99, 80), kSegmentMin);
}

// A line that loses, repeats and delays chosen segments and states, as the
// nullmodem tool does: each row's pattern over transmission numbers.
struct LossyLine {
  const char* name;
  int drop_every, dup_every, delay_every;  // segments; 0: never
  int drop_state_every;                    // states
  bool resends_held;                       // a delayed segment's bytes may go again, held already
  int sized = 0;  // the segment is the largest by 80000 bytes (1), under the first at 20000 (-1)
};

const LossyLine kLossyLines[] = {
    {"Clean", 0, 0, 0, 0, false},
    {"LostOnce", 1000, 0, 0, 0, false, 1},  // the second segment only
    {"Lost", 7, 0, 0, 0, false, -1},
    {"LostAndStatesLost", 5, 0, 0, 3, false},
    {"Duplicated", 0, 4, 0, 0, false},
    {"Reordered", 0, 0, 6, 0, true},
    {"AllOfThem", 9, 11, 13, 4, true},
};

// C crosses segment by segment near the 4 GiB wrap of the 32-bit offsets;
// the receiver rebuilds it exactly, within its memory bound, and only what
// it lacked goes again (a delayed segment is taken for lost, once).
TEST(SelectiveRepeat, RebuildsTheStreamFromLostRepeatedAndDelayedSegments) {
  const uint64_t kStart = (uint64_t(1) << 32) - 100000;
  const Bytes c = PatternBytes(300000, 5);
  for (const LossyLine& line : kLossyLines) {
    SCOPED_TRACE(line.name);
    SegmentSender sender;
    SegmentKeeper keeper;
    sender.acked = sender.sent_end = keeper.acked = kStart;
    Bytes taken;
    std::vector<std::pair<uint64_t, Bytes>> delayed;
    uint64_t states = 0, held_again = 0;
    uint32_t segment_sized = 0;
    auto now = std::chrono::steady_clock::now();
    for (int round = 0; keeper.acked < kStart + c.size(); round++) {
      ASSERT_LT(round, 20000);
      ByteRange range;
      if (!PickSegment(sender, kStart + c.size(), &range)) {
        NoteSegmentSilence(&sender);  // nothing to send: the retry time ran out
        continue;
      }
      ByteRange held[kRangesMax];
      size_t count = ListHeld(keeper, held);
      bool had = range.end <= keeper.acked;
      for (size_t i = 0; i < count; i++)
        had = had || (range.start >= held[i].start && range.end <= held[i].end);
      uint64_t number = NoteSegmentSent(&sender, range, now);
      held_again += had ? 1 : 0;
      uint64_t sized_at = kStart + (line.sized > 0 ? 80000 : 20000);
      if (segment_sized == 0 && sender.acked >= sized_at) segment_sized = sender.segment;
      Bytes bytes(c.begin() + long(range.start - kStart), c.begin() + long(range.end - kStart));
      std::vector<std::pair<uint64_t, Bytes>> arriving;
      bool dropped = line.drop_every != 0 && number % line.drop_every == 1 && number < 1000;
      if (line.delay_every != 0 && number % line.delay_every == 2) {
        delayed.push_back({range.start, bytes});
      } else if (!dropped) {
        arriving.push_back({range.start, bytes});
        if (line.dup_every != 0 && number % line.dup_every == 3) arriving.push_back(arriving[0]);
        arriving.insert(arriving.end(), delayed.begin(), delayed.end());
        delayed.clear();
      }
      for (const auto& segment : arriving) {
        TakeSegment(&keeper, segment.first, segment.second.data(), segment.second.size(), &taken);
        EXPECT_LE(keeper.kept_bytes, kKeptBytesMax);
        if (line.drop_state_every != 0 && ++states % line.drop_state_every == 0) continue;
        uint32_t lows[2 * kRangesMax];
        count = ListHeld(keeper, held);
        for (size_t i = 0; i < count; i++) {
          lows[2 * i] = uint32_t(held[i].start);
          lows[2 * i + 1] = uint32_t(held[i].end);
        }
        TakeState(&sender, uint8_t(number), uint32_t(keeper.acked), lows, count, kSegmentMax, now);
      }
    }
    EXPECT_TRUE(taken == c) << "the stream differs";
    EXPECT_EQ(sender.acked, kStart + c.size());
    if (!line.resends_held) {
      EXPECT_EQ(held_again, 0u);
    }
    EXPECT_TRUE(line.sized == 0 ||
                (line.sized > 0 ? segment_sized == kSegmentMax : segment_sized < kSegmentStart))
        << segment_sized;
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

// What a person watching sees after the line, and at a run's end.
TEST(FormatProgress, GivesRateTimeLeftAndTheRunsSummaryForAPersonWatching) {
  EXPECT_EQ(FormatRateAndTimeLeft(1000000, 250000, 250000, 10.0), " 25.0 kB/s, 0:30 left");
  EXPECT_EQ(FormatRateAndTimeLeft(5000, 5000, 3000, 2.0), " 1.5 kB/s");  // resumed at 2000
  EXPECT_EQ(FormatRateAndTimeLeft(5000, 100, 100, 0.1), "");             // too soon to tell
  RunTally tally;
  tally.lines = 3;
  tally.files = 2;
  tally.bytes = 1234567;
  tally.last = tally.first + std::chrono::seconds(100);
  EXPECT_EQ(FormatRunSummary(tally, 115200),
            "2 of 3 files, 1.2 MB in 1:40: 12.3 kB/s, 107% of the line's 11.5 kB/s\n");
}

// Controls and C1 controls are escaped, the characters of a name are not:
// a UTF-8 console takes UTF-8 characters but U+0080 to U+009F, those that
// reorder or break the line, and bytes of no character; another takes
// every byte but 0x80 to 0x9F.
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
      // Characters that reorder or break the line; not U+202F and U+2065 beside them.
      {"\xE2\x80\xAE.txt", "\\xE2\\x80\\xAE.txt", "\xE2\\x80\xAE.txt"},
      {"\xE2\x81\xA6\xE2\x80\x8F", "\\xE2\\x81\\xA6\\xE2\\x80\\x8F", "\xE2\\x81\xA6\xE2\\x80\\x8F"},
      {"\xD8\x9C\xE2\x80\xA8", "\\xD8\\x9C\\xE2\\x80\\xA8", "\xD8\\x9C\xE2\\x80\xA8"},
      {"\xE2\x80\xAF\xE2\x81\xA5", "\xE2\x80\xAF\xE2\x81\xA5", "\xE2\\x80\xAF\xE2\\x81\xA5"},
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
  ProgressLine line = {"report.txt", 1000};
  testing::internal::CaptureStdout();
  DrawProgress(&line, 500, false);
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
