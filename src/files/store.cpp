#include "files/store.h"

#include <fcntl.h>
#include <sys/stat.h>
#ifdef _WIN32
#include <io.h>
#else
#include <unistd.h>
#endif

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <random>
#include <set>

#include "base/progress.h"
#include "base/wire.h"
#include "files/names.h"
#include "files/store_platform.h"

// What is checked is what was opened, and opening does not wait, so a path
// swapped for a FIFO cannot block the sender.
FILE* OpenFileToSend(const char* path, uint64_t* size) {
  std::string shown = EscapeForConsole(path);  // before errno matters
  int fd = OpenByPath(path, O_RDONLY | O_BINARY | O_NONBLOCK);
  if (fd < 0) {
    int reason = errno;
    struct stat info;
    if (stat(path, &info) != 0) {
      fprintf(stderr, "Couldn't stat %s: %s\n", shown.c_str(), strerror(errno));
    } else if (!S_ISREG(info.st_mode)) {
      fprintf(stderr, "Couldn't send %s: not a regular file\n", shown.c_str());  // a Windows folder
    } else {
      fprintf(stderr, "Couldn't open %s for reading: %s\n", shown.c_str(), strerror(reason));
    }
    return nullptr;
  }
  struct stat info;
  const char* refused = nullptr;
  if (fstat(fd, &info) != 0) {
    refused = strerror(errno);
  } else if (!S_ISREG(info.st_mode)) {
    refused = "not a regular file";
  }
  FILE* file = refused == nullptr ? fdopen(fd, "rb") : nullptr;
  if (file == nullptr) {
    if (refused == nullptr) refused = strerror(errno);
    fprintf(stderr, "Couldn't send %s: %s\n", shown.c_str(), refused);
    close(fd);
    return nullptr;
  }
  *size = uint64_t(info.st_size);
  return file;
}

int OpenByPath(const char* path, int flags) {
  return OpenIn(StoreFolder(), path, flags, 0);
}

// Creates a file that must not exist yet, for writing in binary mode;
// nullptr with errno set otherwise. The runtime's fopen may not know "x".
static FILE* CreateNewFile(const StoreFolder& folder, const char* name) {
  int fd = OpenIn(folder, name, O_WRONLY | O_CREAT | O_EXCL | O_BINARY, 0666);
  if (fd < 0) return nullptr;
  FILE* file = fdopen(fd, "wb");
  if (file == nullptr) {
    int reason = errno;
    close(fd);
    RemoveIn(folder, name);
    errno = reason;
  }
  return file;
}

// Tries fresh temporary names until make, which returns 0 or an errno,
// succeeds on one that is not taken yet. No received file may bear such a
// name (IsPlainFileName). Returns 0 with *temp_name set, or the errno of the
// failure.
int PickTempName(int (*make)(const char* name, void* context), void* context,
                 std::string* temp_name) {
  std::mt19937 pick(SeedTempNames());
  for (int attempt = 0; attempt < 100; attempt++) {
    char name[32];
    snprintf(name, sizeof name, TEMP_NAME_PREFIX "%08lx" TEMP_NAME_SUFFIX,
             static_cast<unsigned long>(pick()));
    int failed = make(name, context);
    if (failed == 0) {
      *temp_name = name;
      return 0;
    }
    if (failed != EEXIST) return failed;
  }
  return EEXIST;
}

namespace {

// What a temporary name is tried for, in which folder.
struct TempNameUse {
  const StoreFolder* folder;
  FILE* file;
};

}  // namespace

static int MakeNewFile(const char* name, void* use) {
  TempNameUse* making = static_cast<TempNameUse*>(use);
  making->file = CreateNewFile(*making->folder, name);
  return making->file != nullptr ? 0 : errno;
}

// Creates a new named file beside the target; nullptr with errno set.
FILE* CreateNamedTempFile(const StoreFolder& folder, std::string* temp_name) {
  TempNameUse use = {&folder, nullptr};
  int failed = PickTempName(MakeNewFile, &use, temp_name);
  if (failed != 0) errno = failed;
  return use.file;
}

void ReportRefusedName(const char* name) {
  fprintf(stderr, "Refusing file \"%s\": not a plain file name\n", EscapeFileName(name).c_str());
}

void ReportRefusedToSend(const char* path, const char* name) {
  fprintf(stderr, "Couldn't send %s: a receiver would refuse its name \"%s\"\n",
          EscapeForConsole(path).c_str(), EscapeFileName(name).c_str());
}

// *refusal (if given) takes the reason, for the sender to hear.
static void ReportNotWritable(const char* name, int reason, std::string* refusal = nullptr) {
  fprintf(stderr, "Couldn't open %s for writing: %s\n", EscapeForConsole(name).c_str(),
          strerror(reason));
  if (refusal != nullptr) *refusal = strerror(reason);
}

// The refusal a sender hears of a name no file is stored under.
constexpr char kNotPlainName[] = "not a plain file name";

// The most copies name.1 ... name.N looked for before giving up.
constexpr unsigned kCopyNamesMax = 9999;

int MoveFileBeside(const StoreFolder& folder, const char* from, const char* leaf,
                   ReceivedFile* received) {
  std::string placed = leaf;
  for (unsigned n = 1;; n++) {
    int failed = MoveFileToFreeName(folder, from, placed.c_str());
    if (failed == 0 && placed != leaf) received->placed = folder.path + placed;
    if (failed != EEXIST || n > kCopyNamesMax) return failed;
    placed = FormCopyName(leaf, n);
  }
}

void ReportPlacedName(const ReceivedFile& received, const char* name) {
  if (received.placed.empty()) return;
  printf("%s stored as %s: a file of that name exists\n", EscapeForConsole(name).c_str(),
         EscapeForConsole(received.placed.c_str()).c_str());
}

bool OpenFileToStore(const char* name, bool utf8_only, ReceivedFile* received) {
  if (utf8_only && !(IsValidUtf8(name) && HasNoC1Controls(name))) {
    ReportRefusedName(name);
    received->refusal = kNotPlainName;
    return false;
  }
  return OpenFileToStoreIn(StoreFolder(), name, received);
}

int ReadFileBytes(FILE* file, uint8_t* bytes, size_t length, size_t* got) {
  errno = 0;
  *got = fread(bytes, 1, length, file);
  if (*got == length) return 0;
  return ferror(file) ? (errno != 0 ? errno : EIO) : kEndedEarly;
}

int WriteFileBytes(FILE* file, const uint8_t* bytes, size_t length) {
  errno = 0;
  if (fwrite(bytes, 1, length, file) == length) return 0;
  return errno != 0 ? errno : EIO;
}

// Moves a received file into place, replacing any file of that name only
// now, and makes it last: its name is on the disk before this returns, as
// its data already is, since a receiver's power may simply be switched off
// once the sender is done. Returns 0, or the errno of what failed.
int StoreFile(ReceivedFile* received, const char* name) {
  return StoreFileIn(StoreFolder(), received, name);
}

void DiscardFile(ReceivedFile* received) {
  DiscardFileIn(StoreFolder(), received);
}

// ---- folders and kept parts ----

// The length and CRC-32 of a kept part, read to its end; 0, or the errno
// of what failed.
static int MeasureKeptPart(int fd, uint64_t* length, uint32_t* crc) {
  static const size_t kChunk = 65536;
  std::vector<uint8_t> chunk(kChunk);
  *length = 0;
  *crc = 0;
  for (;;) {
    int got = int(read(fd, chunk.data(), kChunk));
    if (got < 0) return errno;
    if (got == 0) return 0;
    *crc = UpdateCrc32(*crc, chunk.data(), size_t(got));
    *length += unsigned(got);
  }
}

// Takes up the kept part of that name (make: made if missing) and opens it to
// be written on: from its end (*length, the CRC-32 of its bytes in *crc)
// when it holds from KEPT_PART_MIN bytes up to size, else from 0, cut there.
// nullptr with errno set.
static FILE* OpenKeptPart(const StoreFolder& folder, const std::string& part_name, uint64_t size,
                          uint64_t* length, uint32_t* crc) {
  *length = 0;
  *crc = 0;
  bool made = false;
  int fd = ClaimKeptPart(folder, part_name.c_str(), true, &made);
  if (fd < 0) return nullptr;
  int failed = 0;
  if (made || MeasureKeptPart(fd, length, crc) != 0 || *length < KEPT_PART_MIN || *length > size) {
    *length = 0;
    *crc = 0;
    failed = TruncateFd(fd, 0);
  }
  FILE* file = failed == 0 ? fdopen(fd, "wb") : nullptr;
  if (file == nullptr) {
    if (failed == 0) failed = errno;
    RemoveIn(folder, part_name.c_str());
    close(fd);
    errno = failed;
  }
  return file;
}

// Opens the file to receive into: the kept part of that name, if given and
// this receiver's to take (then kept), else a temporary file of its own.
static bool OpenReceivingFile(const StoreFolder& folder, const char* leaf,
                              const std::string& part_name, uint64_t size, ReceivedFile* received,
                              uint64_t* length, uint32_t* crc) {
  std::string name = folder.path + leaf;
  if (!IsPlainFileName(leaf) || IsAliasOfAnotherFile(folder, leaf)) {
    ReportRefusedName(name.c_str());
    received->refusal = kNotPlainName;
    return false;
  }
  struct stat info;
  bool exists = false;
  int refused = CheckReplaceable(folder, leaf, &info, &exists);
  if (exists && received->existing == ExistingFile::kKeep) {
    fprintf(stderr, "Declining %s: a file of that name exists, and is kept\n",
            EscapeForConsole(name.c_str()).c_str());
    received->refusal = "a file of that name exists";
    received->kept_existing = true;
    return false;
  }
  // Stored under another name, the file in the way is no matter.
  if (received->existing == ExistingFile::kRename) refused = 0;
  FILE* file = nullptr;
  received->kept = false;
  if (refused == 0 && !part_name.empty()) {
    file = OpenKeptPart(folder, part_name, size, length, crc);
    received->kept = file != nullptr;
    received->temp_name = part_name;
  }
  // Another receiver's part, or none: a file of this receiver's own.
  if (refused == 0 && file == nullptr) file = CreateTempFile(folder, &received->temp_name);
  if (file == nullptr) {
    ReportNotWritable(name.c_str(), refused != 0 ? refused : errno, &received->refusal);
    return false;
  }
  // A kept part stays its owner's until it is stored.
  if (exists && !received->kept && received->existing == ExistingFile::kReplace) {
    CarryOverMode(file, info);
  }
  // Each block goes to the system as it is written, so a write that fails
  // (a full disk) is seen at that block, not some blocks later.
  setvbuf(file, nullptr, _IONBF, 0);
  received->file = file;
  return true;
}

bool OpenFileToStoreIn(const StoreFolder& folder, const char* leaf, ReceivedFile* received) {
  uint64_t length;
  uint32_t crc;
  return OpenReceivingFile(folder, leaf, "", 0, received, &length, &crc);
}

bool OpenKeptPartIn(const StoreFolder& folder, const char* leaf, const char* name, uint64_t size,
                    int64_t mtime, ReceivedFile* received, uint64_t* length, uint32_t* crc) {
  *length = 0;
  *crc = 0;
  std::string part = FormKeptPartName(name, size, mtime);
  DropKeptParts(folder, name, part);
  return OpenReceivingFile(folder, leaf, part, size, received, length, crc);
}

void DiscardFileIn(const StoreFolder& folder, ReceivedFile* received) {
  int reason = errno;
  const char* name = received->temp_name.c_str();
  // A kept part is removed while it is held, and only if it is still ours.
  if (received->kept && IsNamed(folder, name, fileno(received->file))) RemoveIn(folder, name);
  fclose(received->file);
  if (!received->kept && *name != '\0') RemoveIn(folder, name);
  errno = reason;
}

bool OpenItemFolder(const char* name, StoreFolder* folder, std::string* leaf, bool try_openat2) {
  ReceivedPath path;
  if (!SplitReceivedPath(name, &path)) {
    ReportRefusedName(name);
    return false;
  }
  size_t levels = path.parts.size() - (path.folder ? 0 : 1);
  int failed = WalkFolders(path.parts, levels, try_openat2, &folder->fd);
  if (failed == kAliasRefused) ReportRefusedName(name);
  if (failed > 0) ReportNotWritable(name, failed);
  if (failed != 0) return false;
  folder->path.clear();
  for (size_t i = 0; i < levels; i++)
    folder->path += path.parts[i] + "/";
  *leaf = path.folder ? "" : path.parts.back();
  return true;
}

// Removes a kept part unless another receiver holds it or it is another
// user's.
static void RemoveKeptPart(const StoreFolder& folder, const char* name) {
  bool made;
  int fd = ClaimKeptPart(folder, name, false, &made);
  if (fd < 0) return;
  RemoveIn(folder, name);
  close(fd);
}

// Removes the kept parts of a name, but except.
void DropKeptParts(const StoreFolder& folder, const char* name, const std::string& except) {
  uint64_t hash = HashReceivedPath(name);
  for (const KeptPartEntry& part : ListKeptParts(folder)) {
    if (part.hash == hash && part.name != except) RemoveKeptPart(folder, part.name.c_str());
  }
}

void PruneKeptParts(const StoreFolder& folder, int64_t now, const std::string& except) {
  std::vector<KeptPartEntry> parts = ListKeptParts(folder);
  // Newest first, except before all; each kept from there counts.
  std::stable_sort(parts.begin(), parts.end(), [&](const KeptPartEntry& a, const KeptPartEntry& b) {
    if ((a.name == except) != (b.name == except)) return a.name == except;
    return a.written > b.written;
  });
  std::set<uint64_t> names;
  size_t kept = 0;
  for (const KeptPartEntry& part : parts) {
    bool keep = part.name == except || (now - part.written < int64_t(KEPT_PART_DAYS) * 86400 &&
                                        names.count(part.hash) == 0 && kept < KEPT_PARTS_MAX);
    if (!keep) {
      RemoveKeptPart(folder, part.name.c_str());
      continue;
    }
    names.insert(part.hash);
    kept++;
  }
}

int KeepPart(const StoreFolder& folder, ReceivedFile* received, uint64_t stored, int64_t now) {
  if (stored < KEPT_PART_MIN || !received->kept) {
    DiscardFileIn(folder, received);
    return 0;
  }
  // Only the part itself is cut, never a file under its name since.
  int failed = IsNamed(folder, received->temp_name.c_str(), fileno(received->file)) ? 0 : ENOENT;
  if (failed == 0) failed = CutFile(received->file, stored);
  if (failed == 0) failed = SyncFile(received->file);
  if (failed == 0) failed = SyncFolder(folder);
  if (failed != 0) {
    DiscardFileIn(folder, received);
    return failed;
  }
  PruneKeptParts(folder, now, received->temp_name);
  // Its bytes are on the disk already: nothing is lost if closing fails.
  return fclose(received->file) == 0 ? 0 : errno;
}

// ---- the sender's folders ----

// Appends a folder's contents, depth first, then its own item; false,
// after reporting it, when the folder cannot be read.
static bool ListFolderItems(const SendItem& item, std::vector<SendItem>* items, bool* whole) {
  std::vector<FolderEntry> entries;
  int failed = ReadFolder(item.path, &entries);
  if (failed != 0) {
    fprintf(stderr, "Couldn't open %s for reading: %s\n",
            EscapeForConsole(item.path.c_str()).c_str(), strerror(failed));
    *whole = false;
    return false;
  }
  std::sort(entries.begin(), entries.end(),
            [](const FolderEntry& a, const FolderEntry& b) { return a.name < b.name; });
  ReceivedPath checked;
  for (const FolderEntry& entry : entries) {
    SendItem next = {item.path + kSeparator + entry.local, item.name + entry.name, entry.folder,
                     entry.mtime, entry.mode};
    if (entry.folder) next.name += '/';
    std::string shown = EscapeForConsole(next.path.c_str());
    // A link's target may be anywhere, or be the folder itself: it is not
    // followed, and the rest of the folder goes as usual.
    if (entry.link) {
      fprintf(stderr, "Skipping %s: a symbolic link, not followed\n", shown.c_str());
    } else if (!entry.folder && !entry.regular) {
      fprintf(stderr, "Skipping %s: not a regular file or folder\n", shown.c_str());
      *whole = false;
    } else if (!SplitReceivedPath(next.name.c_str(), &checked)) {
      ReportRefusedToSend(next.path.c_str(), next.name.c_str());
      *whole = false;
    } else if (entry.folder) {
      ListFolderItems(next, items, whole);
    } else {
      items->push_back(next);
    }
  }
  items->push_back(item);
  return true;
}

// The name a folder given to the sender is sent under, in UTF-8: its last
// part, or for ".", ".." or a path ending in a separator, its real path's;
// empty for a root, which has none.
static std::string FindFolderName(const std::string& path) {
  std::string base = FindBaseName(path.c_str());
  if (!base.empty() && base != "." && base != "..") return FormSentName(base);
  return FindRealFolderName(path);
}

bool ListFolderToSend(const char* path, std::vector<SendItem>* items, bool* whole) {
  bool ignored = true;
  if (whole == nullptr) whole = &ignored;
  std::string local = FormLocalPath(path);
  std::string name = FindFolderName(local);
  // Its items' paths without a doubled separator; a drive's colon stays.
  while (local.size() > 1 && FindBaseName(local.c_str())[0] == '\0' && local.back() != ':')
    local.pop_back();
  FolderEntry facts;
  std::string shown = EscapeForConsole(path);
  if (name.empty()) {
    fprintf(stderr, "Couldn't send %s: not a regular file\n", shown.c_str());
    return false;
  }
  if (!ReadEntry(local, &facts)) {
    fprintf(stderr, "Couldn't stat %s: %s\n", shown.c_str(), strerror(errno));
    return false;
  }
  SendItem root = {local, name + "/", true, facts.mtime, facts.mode};
  ReceivedPath checked;
  if (!SplitReceivedPath(root.name.c_str(), &checked)) {
    ReportRefusedToSend(path, root.name.c_str());
    return false;
  }
  return ListFolderItems(root, items, whole);
}
