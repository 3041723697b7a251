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

#include <cerrno>
#include <cstring>
#include <ctime>
#include <string>
#include <vector>

#include "names.h"
#include "scratch_util.h"
#include "store.h"

namespace fs = std::filesystem;

namespace {

// Stores a received file as a receiver between velcots does; what it said.
std::string StoreItem(const std::string& name, const Bytes& content, bool openat2 = true) {
  testing::internal::CaptureStderr();
  StoreFolder folder;
  std::string leaf;
  ReceivedFile received;
  if (OpenItemFolder(name.c_str(), &folder, &leaf, openat2) && !leaf.empty() &&
      OpenFileToStoreIn(folder, leaf.c_str(), "", 0, &received)) {
    fwrite(content.data(), 1, content.size(), received.file);
    EXPECT_EQ(StoreFileIn(folder, &received, leaf.c_str()), 0);
  }
  CloseItemFolder(&folder);
  return testing::internal::GetCapturedStderr();
}

#ifndef _WIN32
mode_t CurrentUmask() {
  mode_t mask = umask(0);
  umask(mask);
  return mask;
}
#endif

std::string NotWritable(const std::string& name, int reason) {
  return "Couldn't open " + name + " for writing: " + strerror(reason) + "\n";
}

// With openat2 (where Linux has it) and with the walk that does without.
class ReceiverWalk : public InScratchFolder, public testing::WithParamInterface<bool> {};
INSTANTIATE_TEST_SUITE_P(Openat2OrNot, ReceiverWalk, testing::Bool());

TEST_P(ReceiverWalk, StoresUnderTheReceivingFolderOnlyAndNeverThroughALink) {
  fs::create_directory("outside");
  fs::create_directory("in");
  fs::current_path("in");
  WriteFile("file", {});
  std::string deep, long_path;
#ifdef _WIN32
  const int kLevels = 60;  // within MAX_PATH, as Windows' own calls (and the tests') are
#else
  const int kLevels = 2000;
#endif
  for (int i = 0; i < kLevels; i++)
    deep += "d/";
  for (int i = 0; i < 15; i++)
    long_path += std::string(PATH_PART_MAX, char('a' + i)) + "/";
  const std::string kRefused = "\": not a plain file name\n";
  struct Row {
    std::string name, said;
  };
  std::vector<Row> rows = {
      {"a/b/c.txt", ""},
      {"../up.txt", "Refusing file \"../up.txt" + kRefused},
      {"/abs.txt", "Refusing file \"/abs.txt" + kRefused},
      {"C:/drive.txt", "Refusing file \"C:/drive.txt" + kRefused},
      {"a/../../up.txt", "Refusing file \"a/../../up.txt" + kRefused},
      {"file/x.txt", NotWritable("file/x.txt", ENOTDIR)},
      {"file/", NotWritable("file/", ENOTDIR)},
      {"a/b/c.txt/", NotWritable("a/b/c.txt/", ENOTDIR)},
      {deep + "x", ""},
      {long_path + "x", ""},
  };
#ifdef _WIN32
  rows.pop_back();  // 255-byte parts: beyond MAX_PATH
#else
  fs::create_directory("a");
  fs::create_directory_symlink("../outside", "link");
  fs::create_directory_symlink(fs::absolute("../outside"), "a/inner");
  for (std::string name : {"link/x.txt", "link/", "a/inner/x/y.txt", "a/inner/"})
    rows.push_back({name, NotWritable(name, ELOOP)});
#endif
  for (const Row& row : rows) {
    EXPECT_EQ(StoreItem(row.name, {'z'}, GetParam()), row.said) << row.name.substr(0, 60);
    if (row.said.empty()) {
      EXPECT_EQ(ReadFile(row.name), Bytes{'z'});
    }
  }
  EXPECT_EQ(ListFolder("../outside"), std::vector<std::string>{});
#ifndef _WIN32
  struct stat info;
  ASSERT_EQ(stat("a/b", &info), 0);
  EXPECT_EQ(info.st_mode & 0777, 0700u & ~CurrentUmask());  // until its own item comes
#endif
}

TEST_P(ReceiverWalk, GivesAFolderItsTimeAndModeLessTheUmask) {
  StoreFolder folder;
  std::string leaf = "x";
  ASSERT_TRUE(OpenItemFolder("a/b/", &folder, &leaf, GetParam()));
  EXPECT_EQ(leaf, "");
  EXPECT_EQ(folder.path, "a/b/");
  EXPECT_EQ(ApplyFolderFacts(folder, 1000000000, 0757), 0);
  CloseItemFolder(&folder);
  struct stat info;
  ASSERT_EQ(stat("a/b", &info), 0);
  EXPECT_EQ(int64_t(info.st_mtime), 1000000000);
#ifndef _WIN32
  EXPECT_EQ(info.st_mode & 0777, 0757u & ~CurrentUmask());
#endif
}

class KeptParts : public InScratchFolder {
 protected:
  // A part of an item kept at a cut with stored bytes of what came.
  void KeepAt(uint64_t stored, int64_t mtime = 1000) {
    ReceivedFile received;
    ASSERT_TRUE(OpenFileToStoreIn(folder_in_, "big.bin", FormKeptPartName(kName, kSize, mtime), 0,
                                  &received));
    fwrite(data_.data(), 1, size_t(stored) + 100, received.file);
    EXPECT_EQ(KeepPart(folder_in_, &received, stored, int64_t(time(nullptr))), 0);
  }
  std::vector<std::string> ListParts() {
    std::vector<std::string> parts;
    for (const std::string& name : ListFolder("d"))
      if (IsTempFileName(name.c_str())) parts.push_back(name);
    return parts;
  }
  void SetUp() override {
    InScratchFolder::SetUp();
    std::string leaf;
    ASSERT_TRUE(OpenItemFolder(kName, &folder_in_, &leaf));
    for (size_t i = 0; i < data_.size(); i++)
      data_[i] = uint8_t(i * 131 + i / 256);
  }
  void TearDown() override {
    CloseItemFolder(&folder_in_);
    InScratchFolder::TearDown();
  }
  const char* kName = "d/big.bin";
  const uint64_t kSize = 20000;
  StoreFolder folder_in_;
  Bytes data_ = Bytes(20000);
};

TEST_F(KeptParts, ACutFileGoesOnFromItsPartAndIsStoredWhole) {
  KeepAt(8192);
  uint64_t length = 0;
  uint32_t crc = 0;
  ASSERT_TRUE(FindKeptPart(folder_in_, kName, kSize, 1000, &length, &crc));
  EXPECT_EQ(length, 8192u);  // cut to the bytes stored
  EXPECT_EQ(crc, uint32_t(crc32(0, data_.data(), 8192)));
#ifdef _WIN32
  std::string part = "d\\" + FormKeptPartName(kName, kSize, 1000);
  EXPECT_TRUE(GetFileAttributesA(part.c_str()) & FILE_ATTRIBUTE_HIDDEN);
#endif
  ReceivedFile received;
  ASSERT_TRUE(OpenFileToStoreIn(folder_in_, "big.bin", FormKeptPartName(kName, kSize, 1000), length,
                                &received));
  fwrite(data_.data() + length, 1, size_t(kSize - length), received.file);
  EXPECT_EQ(StoreFileIn(folder_in_, &received, "big.bin"), 0);
  EXPECT_EQ(ReadFile(kName), data_);
  EXPECT_EQ(ListFolder("d"), std::vector<std::string>{"big.bin"});
#ifdef _WIN32
  EXPECT_FALSE(GetFileAttributesA("d\\big.bin") & FILE_ATTRIBUTE_HIDDEN);
#endif
}

TEST_F(KeptParts, APartOfAnotherSizeOrTimeOrUnder4KiBIsDropped) {
  struct Row {
    uint64_t stored, size;
    int64_t mtime;
  };
  for (const Row& row : {Row{4096, kSize, 1000}, Row{8000, kSize + 1, 1000}, Row{8000, kSize, 999},
                         Row{KEPT_PART_MIN - 1, kSize, 1000}}) {
    KeepAt(row.stored);
    uint64_t length = 0;
    uint32_t crc = 0;
    bool found = row.stored >= KEPT_PART_MIN && row.size == kSize && row.mtime == 1000;
    EXPECT_EQ(FindKeptPart(folder_in_, kName, row.size, row.mtime, &length, &crc), found);
    EXPECT_EQ(ListParts().size(), found ? 1u : 0u) << row.stored << " " << row.size;
    KeepAt(row.stored, 1);  // one per name: the part just kept stays alone
    EXPECT_EQ(ListParts(), std::vector<std::string>(row.stored >= KEPT_PART_MIN,
                                                    FormKeptPartName(kName, kSize, 1)));
    for (const std::string& part : ListParts())
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
  EXPECT_EQ(ListParts(), kept);
  // Storing a file by any means drops its parts.
  std::string temp_name;
  FILE* file = OpenFileToStore("n0", &temp_name);
  ASSERT_NE(file, nullptr);
  make("n0", 1, now);
  EXPECT_EQ(StoreFile(file, temp_name, "n0"), 0);
  EXPECT_EQ(ListFolder("."), (std::vector<std::string>{"d", "n0"}));
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
      "Skipping tree/link: not a regular file or folder\n";
#endif
  const std::vector<std::string> names = {"tree/B.txt", "tree/a.txt",  "tree/b/z.txt",
                                          "tree/b/",    "tree/empty/", "tree/\xC3\xA9.txt",
                                          "tree/"};
  for (std::string argument : {"tree", "tree/", "tree/b/..", "."}) {
    if (argument == ".") fs::current_path("tree");
    std::vector<SendItem> items;
    testing::internal::CaptureStderr();
    ASSERT_TRUE(ListFolderToSend(argument.c_str(), &items));
    std::string captured = testing::internal::GetCapturedStderr();
    if (argument == "tree") {
      EXPECT_EQ(captured, said);
    }
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
