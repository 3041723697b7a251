// Folders between velcots on real folders: the receiver's walk under its
// folder, kept parts, and the sender's walk of a folder. Built for every
// platform.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <zlib.h>
#ifdef _WIN32
#include <io.h>
#include <windows.h>
#else
#include <unistd.h>
#endif

#include <cstring>
#include <ctime>

#include "files/names.h"
#include "files/store.h"
#include "scratch_util.h"

namespace fs = std::filesystem;

namespace {

// Stores a received file as a receiver between velcots does; what it said.
std::string StoreItem(const std::string& name, const Bytes& content, bool openat2 = true) {
  testing::internal::CaptureStderr();
  StoreFolder folder;
  std::string leaf;
  ReceivedFile received;
  if (OpenItemFolder(name.c_str(), &folder, &leaf, openat2) && !leaf.empty() &&
      OpenFileToStoreIn(folder, leaf.c_str(), &received)) {
    fwrite(content.data(), 1, content.size(), received.file);
    EXPECT_EQ(StoreFileIn(folder, &received, leaf.c_str()), 0);
  }
  CloseItemFolder(&folder);
  return testing::internal::GetCapturedStderr();
}

// With openat2 (where Linux has it) and with the walk that does without.
class ReceiverWalk : public InScratchFolder, public testing::WithParamInterface<bool> {};
INSTANTIATE_TEST_SUITE_P(Openat2OrNot, ReceiverWalk, testing::Bool());

TEST_P(ReceiverWalk, StoresUnderTheReceivingFolderOnlyAndNeverThroughALink) {
  fs::create_directory("outside");
  fs::create_directory("in");
  fs::current_path("in");
  WriteFile("file", {});
  // Deep and long: 120 levels, then parts of 255 bytes, 4081 bytes in all;
  // on Windows within MAX_PATH, as its own calls (and the tests') are.
  std::string deep;
  for (int i = 0; i < 120; i++)
    deep += "d/";
#ifndef _WIN32
  for (int i = 0; i < 15; i++)
    deep += std::string(PATH_PART_MAX, char('a' + i)) + "/";
#else
  deep.resize(120);
#endif
  struct Row {
    std::string name;
    int reason;  // 0 stored, -1 refused by name (as SplitReceivedPath's tests), or errno
  };
  std::vector<Row> rows = {{"a/b/c.txt", 0},   {"a/../../up.txt", -1},  {"file/x.txt", ENOTDIR},
                           {"file/", ENOTDIR}, {"a/b/c.txt/", ENOTDIR}, {deep + "x", 0}};
#ifndef _WIN32
  fs::create_directory("a");
  fs::create_directory_symlink("../outside", "link");
  fs::create_directory_symlink(fs::absolute("../outside"), "a/inner");
  for (std::string name : {"link/x.txt", "link/", "a/inner/x/y.txt", "a/inner/"})
    rows.push_back({name, ELOOP});
#endif
  for (const Row& row : rows) {
    std::string said =
        row.reason < 0 ? "Refusing file \"" + row.name + "\": not a plain file name\n"
        : row.reason > 0
            ? "Couldn't open " + row.name + " for writing: " + strerror(row.reason) + "\n"
            : "";
    EXPECT_EQ(StoreItem(row.name, {'z'}, GetParam()), said) << row.name.substr(0, 60);
    if (row.reason == 0) {
      EXPECT_EQ(ReadFile(row.name), Bytes{'z'});
    }
  }
  EXPECT_EQ(ListDirectory("../outside"), std::vector<std::string>{});
#ifndef _WIN32
  // Folders made on the way are 0700, less the umask, until their item comes.
  struct stat info;
  ASSERT_EQ(stat("d", &info), 0);
  mode_t mask = umask(0);
  umask(mask);
  EXPECT_EQ(info.st_mode & 0777, 0700u & ~mask);
#endif
}

class KeptParts : public InScratchFolder {
 protected:
  // Opens big.bin into its kept part: the length taken up (crc_ its CRC-32).
  uint64_t Open(ReceivedFile* received, uint64_t size = 20000, int64_t mtime = 1000) {
    uint64_t length = 1;
    EXPECT_TRUE(
        OpenKeptPartIn(folder_in_, "big.bin", kName, size, mtime, received, &length, &crc_));
    return length;
  }
  // A part of an item kept at a cut with stored bytes of what came.
  void KeepAt(uint64_t stored, int64_t mtime = 1000) {
    ReceivedFile received;
    Open(&received, kSize, mtime);
    fwrite(data_.data(), 1, size_t(stored) + 100, received.file);
    EXPECT_EQ(KeepPart(folder_in_, &received, stored, int64_t(time(nullptr))), 0);
  }
  // The rest of big.bin written on from where received was opened, and stored.
  void StoreRest(ReceivedFile* received, uint64_t from) {
    fwrite(data_.data() + from, 1, size_t(kSize - from), received->file);
    EXPECT_EQ(StoreFileIn(folder_in_, received, "big.bin"), 0);
    EXPECT_EQ(ReadFile(kName), data_);
  }
  void SetUp() override {
    InScratchFolder::SetUp();
    std::string leaf;
    ASSERT_TRUE(OpenItemFolder(kName, &folder_in_, &leaf));
  }
  // The part taken up for that size and time, kept again as it was.
  bool FindPart(uint64_t size, int64_t mtime) {
    ReceivedFile received;
    length_ = Open(&received, size, mtime);
    KeepPart(folder_in_, &received, length_, int64_t(time(nullptr)));
    return length_ > 0;
  }
  void TearDown() override {
    CloseItemFolder(&folder_in_);
    InScratchFolder::TearDown();
  }
  const char* kName = "d/big.bin";
  const uint64_t kSize = 20000;
  StoreFolder folder_in_;
  Bytes data_ = PatternBytes(20000, 1);
  uint64_t length_ = 0;
  uint32_t crc_ = 0;
};

TEST_F(KeptParts, ACutFileGoesOnFromItsPartAndIsStoredWhole) {
  KeepAt(8192);
  ASSERT_TRUE(FindPart(kSize, 1000));
  EXPECT_EQ(length_, 8192u);  // cut to the bytes stored
  EXPECT_EQ(crc_, uint32_t(crc32(0, data_.data(), 8192)));
#ifdef _WIN32
  std::string part = "d\\" + FormKeptPartName(kName, kSize, 1000);
  EXPECT_TRUE(GetFileAttributesA(part.c_str()) & FILE_ATTRIBUTE_HIDDEN);
#endif
  ReceivedFile received;
  ASSERT_EQ(Open(&received), length_);
  StoreRest(&received, length_);
  EXPECT_EQ(ListDirectory("d"), std::vector<std::string>{"big.bin"});
#ifdef _WIN32
  EXPECT_FALSE(GetFileAttributesA("d\\big.bin") & FILE_ATTRIBUTE_HIDDEN);
#endif
}

// A part another receiver holds is neither taken nor removed: the second
// receiver has a file of its own, and both store the file whole. A part
// that is a hard link to a file elsewhere is refused, never written through.
TEST_F(KeptParts, APartHeldOrLinkedElsewhereIsNeitherTakenNorWrittenThrough) {
  KeepAt(8192);
  ReceivedFile first, second, third;
  ASSERT_EQ(Open(&first), 8192u);
  ASSERT_EQ(Open(&second), 0u);
  PruneKeptParts(folder_in_, int64_t(time(nullptr)) + 30 * 86400, "");
  StoreRest(&second, 0);
  StoreRest(&first, 8192);
  KeepAt(8192);
  std::string part = "d/" + FormKeptPartName(kName, kSize, 1000);
  fs::rename(part, "outside");
  fs::create_hard_link("outside", part);
  ASSERT_EQ(Open(&third), 0u);
  StoreRest(&third, 0);
  EXPECT_EQ(ReadFile("outside"), Bytes(data_.begin(), data_.begin() + 8192));
  EXPECT_EQ(ListDirectory("d"), std::vector<std::string>{"big.bin"});
}

TEST_F(KeptParts, APartOfAnotherSizeOrTimeOrUnder4KiBIsDropped) {
  // Bytes kept, then the size (less kSize) and time offered.
  const int64_t rows[][3] = {{4096, 0, 1000}, {8000, 1, 1000}, {8000, 0, 999}, {4095, 0, 1000}};
  for (const auto& row : rows) {
    KeepAt(uint64_t(row[0]));
    bool found = row[0] >= KEPT_PART_MIN && row[1] == 0 && row[2] == 1000;
    EXPECT_EQ(FindPart(kSize + uint64_t(row[1]), row[2]), found) << row[0] << " " << row[1];
    EXPECT_EQ(ListDirectory("d").size(), found ? 1u : 0u);
    for (const std::string& part : ListDirectory("d"))
      fs::remove("d/" + part);
  }
}

TEST_F(KeptParts, PrunesByAgeThenKeepsTheNewestEightButTheOneInUse) {
  int64_t now = int64_t(time(nullptr)), day = 86400;
  auto make = [&](const std::string& name, uint64_t size, int64_t written) {
    std::string part = FormKeptPartName(name.c_str(), size, 0);
    FILE* file = fopen((name.substr(0, name.rfind('/') + 1) + part).c_str(), "wb");
    EXPECT_EQ(ApplyFileFacts(file, written, 0600), 0);
    fclose(file);
    return part;
  };
  std::vector<std::string> kept = {make("d/mine", 1, now - 6 * day), make("d/new", 1, now - 100)};
  make("d/new", 2, now - 200);  // another of the same name
  make("d/old", 1, now - 8 * day);
  for (int i = 0; i < 9; i++) {
    std::string part = make("d/n" + std::to_string(i), 1, now - 1000 * (i + 1));
    if (i < 6) kept.push_back(part);
  }
  WriteFile("d/.velcot-1a2b3c4d.part", {});  // a temporary file's: not a part
  kept.push_back(".velcot-1a2b3c4d.part");
  PruneKeptParts(folder_in_, now, kept[0]);
  std::sort(kept.begin(), kept.end());
  EXPECT_EQ(ListDirectory("d"), kept);
  // Storing a file by any means drops its parts.
  ReceivedFile received;
  ASSERT_TRUE(OpenFileToStore("n0", false, &received));
  make("n0", 1, now);
  EXPECT_EQ(StoreFile(&received, "n0"), 0);
  EXPECT_EQ(ListDirectory("."), (std::vector<std::string>{"d", "n0"}));
}

TEST_F(InScratchFolder, SenderListsAFolderDepthFirstInByteOrderEachFolderAfterItsContents) {
  for (const char* folder : {"tree", "tree/b", "tree/empty"})
    fs::create_directory(folder);
  for (const char* file : {"tree/a.txt", "tree/B.txt", "tree/b/z.txt", "tree/\xC3\xA9.txt"})
    WriteFile(fs::u8path(file), {'y'});
  std::string said;
#ifndef _WIN32
  ASSERT_EQ(mkfifo("tree/fifo", 0600), 0);
  fs::create_symlink("a.txt", "tree/link");
  fs::create_directory("tree/bad.");
  WriteFile("tree/bad./in.txt", {});
  said =
      "Couldn't send tree/bad.: a receiver would refuse its name \"tree/bad./\"\n"
      "Skipping tree/fifo: not a regular file or folder\n"
      "Skipping tree/link: a symbolic link, not followed\n";
#endif
  const std::vector<std::string> names = {"tree/B.txt", "tree/a.txt",  "tree/b/z.txt",
                                          "tree/b/",    "tree/empty/", "tree/\xC3\xA9.txt",
                                          "tree/"};
  for (std::string argument : {"tree", "tree/", "tree/b/..", "."}) {
    if (argument == ".") fs::current_path("tree");
    std::vector<SendItem> items;
    testing::internal::CaptureStderr();
    ASSERT_TRUE(ListFolderToSend(argument.c_str(), &items));
    std::string heard = testing::internal::GetCapturedStderr();
    EXPECT_EQ(argument == "tree" ? heard : said, said);  // the others: the same, other paths
    std::vector<std::string> sent;
    for (const SendItem& item : items) {
      sent.push_back(item.name);
      EXPECT_EQ(item.folder, item.name.back() == '/') << item.name;
      int fd = item.folder ? 0 : OpenByPath(item.path.c_str(), O_RDONLY);
      EXPECT_GE(fd, 0) << item.path;
      if (fd > 0) close(fd);
    }
    EXPECT_EQ(sent, names) << argument;
  }
  std::vector<SendItem> none;
  testing::internal::CaptureStderr();
  EXPECT_FALSE(ListFolderToSend("/", &none));
  EXPECT_EQ(testing::internal::GetCapturedStderr(), "Couldn't send /: not a regular file\n");
  EXPECT_TRUE(none.empty());
}

}  // namespace
