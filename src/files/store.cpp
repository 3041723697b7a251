#include "files/store.h"

#include <fcntl.h>
#include <sys/stat.h>
#ifdef _WIN32
#include <io.h>

#include "ports/win32_error.h"
#else
#include <dirent.h>
#include <stdlib.h>
#include <sys/file.h>
#include <time.h>
#include <unistd.h>
#endif
#ifdef __linux__
#include <sys/random.h>
#include <sys/syscall.h>
#if __has_include(<linux/openat2.h>)
#include <linux/openat2.h>
#endif
#endif

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <random>
#include <set>

#include "files/names.h"
#include "base/progress.h"
#include "base/wire.h"

#ifdef _WIN32
// The name as the wide string Windows' own calls take.
static std::wstring WidenName(const char* name) {
  UINT code_page = IsValidUtf8(name) ? CP_UTF8 : CP_ACP;
  int length = MultiByteToWideChar(code_page, 0, name, -1, nullptr, 0);
  if (length <= 0) return L"";
  std::wstring wide(size_t(length), L'\0');
  MultiByteToWideChar(code_page, 0, name, -1, &wide[0], length);
  wide.resize(size_t(length - 1));
  return wide;
}
#endif

#ifndef O_BINARY
#define O_BINARY 0  // POSIX files have no text mode
#endif
#ifndef O_NOFOLLOW
#define O_NOFOLLOW 0  // Windows: links are seen as reparse points instead
#endif
#ifndef O_NONBLOCK
#define O_NONBLOCK 0  // Windows has no FIFOs to block on
#endif

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

// A name in a folder as the system's calls take it: on POSIX systems
// relative to the folder's descriptor, on Windows as the whole path.
#ifdef _WIN32
static std::wstring WidenPathIn(const StoreFolder& folder, const char* name) {
  std::string path = folder.path + name;
  std::replace(path.begin(), path.end(), '/', '\\');
  return WidenName(path.c_str());
}
#else
static int FolderFd(const StoreFolder& folder) {
  return folder.fd < 0 ? AT_FDCWD : folder.fd;
}
#endif

// open(2) in a folder; -1 with errno set.
static int OpenIn(const StoreFolder& folder, const char* name, int flags, int mode) {
#ifdef _WIN32
  return _wopen(WidenPathIn(folder, name).c_str(), flags, mode);
#else
  return openat(FolderFd(folder), name, flags, mode);
#endif
}

int OpenByPath(const char* path, int flags) {
  return OpenIn(StoreFolder(), path, flags, 0);
}

// Removes a file from a folder; 0, or the errno of the failure.
static int RemoveIn(const StoreFolder& folder, const char* name) {
#ifdef _WIN32
  if (DeleteFileW(WidenPathIn(folder, name).c_str())) return 0;
  return ErrnoFromWin32Error(GetLastError());
#else
  return unlinkat(FolderFd(folder), name, 0) == 0 ? 0 : errno;
#endif
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

// Puts a file in place of another, replacing it if it exists. Returns 0, or
// the errno of the failure. (Windows' rename never replaces a file.)
static int MoveFileIntoPlace(const StoreFolder& folder, const char* from, const char* to) {
#ifdef _WIN32
  if (MoveFileExW(WidenPathIn(folder, from).c_str(), WidenPathIn(folder, to).c_str(),
                  MOVEFILE_REPLACE_EXISTING | MOVEFILE_WRITE_THROUGH)) {
    return 0;
  }
  return ErrnoFromWin32Error(GetLastError());
#else
  return renameat(FolderFd(folder), from, FolderFd(folder), to) == 0 ? 0 : errno;
#endif
}

// A seed for temporary names that never waits: on a fresh boot without a
// hardware generator the kernel's random pool can take seconds to fill,
// and the sender would wait for the answer that long. A name only has to
// be free, which creating it checks, so the clock and the process id do
// where the pool is not ready.
static uint32_t SeedTempNames() {
  uint32_t seed = 0;
#ifdef __linux__
  if (getrandom(&seed, sizeof seed, GRND_NONBLOCK) == ssize_t(sizeof seed)) return seed;
#endif
#ifdef _WIN32
  LARGE_INTEGER count;
  QueryPerformanceCounter(&count);
  seed = uint32_t(count.QuadPart) ^ GetTickCount() ^ (GetCurrentProcessId() << 16);
#else
  struct timespec now;
  clock_gettime(CLOCK_REALTIME, &now);
  seed = uint32_t(now.tv_nsec) ^ uint32_t(now.tv_sec) ^ (uint32_t(getpid()) << 16);
#endif
  return seed;
}

// Tries fresh temporary names until make, which returns 0 or an errno,
// succeeds on one that is not taken yet. No received file may bear such a
// name (IsPlainFileName). Returns 0 with *temp_name set, or the errno of the
// failure.
static int PickTempName(int (*make)(const char* name, void* context), void* context,
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

// What a temporary name is tried for, in which folder.
struct TempNameUse {
  const StoreFolder* folder;
  FILE* file;             // MakeNewFile's
  const char* proc_path;  // LinkUnder's
};

static int MakeNewFile(const char* name, void* use) {
  TempNameUse* making = static_cast<TempNameUse*>(use);
  making->file = CreateNewFile(*making->folder, name);
  return making->file != nullptr ? 0 : errno;
}

// Creates a new named file beside the target; nullptr with errno set.
static FILE* CreateNamedTempFile(const StoreFolder& folder, std::string* temp_name) {
  TempNameUse use = {&folder, nullptr, nullptr};
  int failed = PickTempName(MakeNewFile, &use, temp_name);
  if (failed != 0) errno = failed;
  return use.file;
}

#ifdef O_TMPFILE
// On Linux a file is received into an anonymous file, which nothing, not
// even SIGKILL or a power cut, can leave behind, and named only once it is
// complete. nullptr where the file system refuses O_TMPFILE, or /proc,
// through which it is named, is missing.
static FILE* CreateAnonymousFile(const StoreFolder& folder) {
  if (access("/proc/self/fd", X_OK) != 0) return nullptr;
  int fd = openat(FolderFd(folder), ".", O_TMPFILE | O_WRONLY | O_CLOEXEC, 0666);
  if (fd < 0) return nullptr;
  FILE* file = fdopen(fd, "wb");
  if (file == nullptr) close(fd);
  return file;
}

static int LinkUnder(const char* name, void* use) {
  TempNameUse* linking = static_cast<TempNameUse*>(use);
  if (linkat(AT_FDCWD, linking->proc_path, FolderFd(*linking->folder), name, AT_SYMLINK_FOLLOW) !=
      0) {
    return errno;
  }
  return 0;
}

// Links an anonymous file under a temporary name, from which it is moved
// into place. Returns 0, or the errno of the failure.
static int NameAnonymousFile(const StoreFolder& folder, FILE* file, std::string* temp_name) {
  char path[64];
  snprintf(path, sizeof path, "/proc/self/fd/%d", fileno(file));
  TempNameUse use = {&folder, nullptr, path};
  return PickTempName(LinkUnder, &use, temp_name);
}
#endif

// Creates the file a received file is written to: anonymous where the
// system allows (temp_name left empty), or named beside the target.
static FILE* CreateTempFile(const StoreFolder& folder, std::string* temp_name) {
  temp_name->clear();
#ifdef O_TMPFILE
  FILE* file = CreateAnonymousFile(folder);
  if (file != nullptr) return file;
#endif
  return CreateNamedTempFile(folder, temp_name);
}

// Why the file in the way of a received one cannot be replaced: EISDIR for
// a folder, EACCES for a file this user may not write (opening it for
// writing would have failed), or 0. A link is replaced, not followed,
// whatever it points at. *info holds what is there, if anything.
#ifdef _WIN32
static int CheckReplaceable(const StoreFolder& folder, const char* name, struct stat* info,
                            bool* exists) {
  DWORD attributes = GetFileAttributesW(WidenPathIn(folder, name).c_str());
  *exists = attributes != INVALID_FILE_ATTRIBUTES;
  info->st_mode = 0;  // Windows keeps no permission bits to carry over
  if (!*exists) return 0;
  if (attributes & FILE_ATTRIBUTE_DIRECTORY) return EISDIR;
  return attributes & FILE_ATTRIBUTE_READONLY ? EACCES : 0;
}
#else
static int CheckReplaceable(const StoreFolder& folder, const char* name, struct stat* info,
                            bool* exists) {
  *exists = fstatat(FolderFd(folder), name, info, AT_SYMLINK_NOFOLLOW) == 0;
  if (!*exists) return 0;
  if (S_ISDIR(info->st_mode)) return EISDIR;
  if (S_ISREG(info->st_mode) && faccessat(FolderFd(folder), name, W_OK, 0) != 0 &&
      errno == EACCES) {
    return EACCES;
  }
  return 0;
}
#endif

#ifdef _WIN32
// True when Windows takes the name for the short (8.3) alias of a file
// whose own name is another: storing under it would replace that file.
static bool IsAliasOfAnotherFile(const StoreFolder& folder, const char* name) {
  WIN32_FIND_DATAW found;
  HANDLE search = FindFirstFileW(WidenPathIn(folder, name).c_str(), &found);
  if (search == INVALID_HANDLE_VALUE) return false;
  FindClose(search);
  return _wcsicmp(found.cFileName, WidenName(name).c_str()) != 0;
}
#else
static bool IsAliasOfAnotherFile(const StoreFolder&, const char*) {
  return false;
}
#endif

void ReportRefusedName(const char* name) {
  fprintf(stderr, "Refusing file \"%s\": not a plain file name\n", EscapeFileName(name).c_str());
}

static void ReportNotWritable(const char* name, int reason) {
  fprintf(stderr, "Couldn't open %s for writing: %s\n", EscapeForConsole(name).c_str(),
          strerror(reason));
}

bool OpenFileToStore(const char* name, bool utf8_only, ReceivedFile* received) {
  if (utf8_only && !(IsValidUtf8(name) && HasNoC1Controls(name))) {
    ReportRefusedName(name);
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

int SyncFile(FILE* file) {
  if (fflush(file) != 0) return errno;
#ifdef _WIN32
  return _commit(_fileno(file)) == 0 ? 0 : errno;
#else
  return fsync(fileno(file)) == 0 ? 0 : errno;
#endif
}

// Puts a folder's entries on the disk, so a file moved into place stays
// there; 0, or the errno of the failure. Windows commits a rename with the
// file (MOVEFILE_WRITE_THROUGH).
static int SyncFolder(const StoreFolder& folder) {
#ifdef _WIN32
  (void)folder;
  return 0;
#else
  int fd = openat(FolderFd(folder), ".", O_RDONLY | O_DIRECTORY | O_CLOEXEC);
  if (fd < 0) return errno;
  // Some file systems cannot sync a directory and have nothing to sync.
  int result = fsync(fd) == 0 || errno == EINVAL ? 0 : errno;
  close(fd);
  return result;
#endif
}

// Moves a received file into place, replacing any file of that name only
// now, and makes it last: its name is on the disk before this returns, as
// its data already is, since a receiver's power may simply be switched off
// once the sender is done. Returns 0, or the errno of what failed.
int StoreFile(ReceivedFile* received, const char* name) {
  return StoreFileIn(StoreFolder(), received, name);
}

#ifdef _WIN32
// FILETIME counts 100 ns steps from 1601.
const int64_t kFileTimeAt1970 = 11644473600LL;

static int SetWriteTime(HANDLE handle, int64_t mtime) {
  uint64_t steps = uint64_t(mtime + kFileTimeAt1970) * 10000000u;
  FILETIME written = {DWORD(steps), DWORD(steps >> 32)};
  if (!SetFileTime(handle, nullptr, nullptr, &written)) return ErrnoFromWin32Error(GetLastError());
  return 0;
}

static int64_t ReadFileTime(const FILETIME& time) {
  return int64_t((uint64_t(time.dwHighDateTime) << 32 | time.dwLowDateTime) / 10000000u) -
         kFileTimeAt1970;
}

int ApplyFileFacts(FILE* file, int64_t mtime, uint32_t) {
  if (fflush(file) != 0) return errno;
  return SetWriteTime(reinterpret_cast<HANDLE>(_get_osfhandle(_fileno(file))), mtime);
}
#else
static int ApplyFacts(int fd, int64_t mtime, uint32_t mode) {
  mode_t withheld = umask(0);
  umask(withheld);
  if (fchmod(fd, mode_t(mode & 0777) & ~withheld) != 0) return errno;
  struct timespec times[2] = {{0, UTIME_OMIT}, {time_t(mtime), 0}};
  return futimens(fd, times) == 0 ? 0 : errno;
}

int ApplyFileFacts(FILE* file, int64_t mtime, uint32_t mode) {
  // Written out first: a later write would set the time anew.
  if (fflush(file) != 0) return errno;
  return ApplyFacts(fileno(file), mtime, mode);
}
#endif

void DiscardFile(ReceivedFile* received) {
  DiscardFileIn(StoreFolder(), received);
}

// ---- folders and kept parts ----

// Cuts an open file to length and puts its position there; 0, or the errno
// of the failure.
static int TruncateFd(int fd, uint64_t length) {
#ifdef _WIN32
  LARGE_INTEGER at;
  at.QuadPart = LONGLONG(length);
  HANDLE handle = reinterpret_cast<HANDLE>(_get_osfhandle(fd));
  if (!SetFilePointerEx(handle, at, nullptr, FILE_BEGIN) || !SetEndOfFile(handle))
    return ErrnoFromWin32Error(GetLastError());
  return _lseeki64(fd, int64_t(length), SEEK_SET) < 0 ? errno : 0;
#else
  if (ftruncate(fd, off_t(length)) != 0) return errno;
  return lseek(fd, off_t(length), SEEK_SET) < 0 ? errno : 0;
#endif
}

int CutFile(FILE* file, uint64_t length) {
  if (fflush(file) != 0) return errno;
  int failed = TruncateFd(fileno(file), length);
#ifndef _WIN32
  // The stream's own idea of its position follows (unbuffered, so nothing
  // is pending).
  if (failed == 0 && fseeko(file, off_t(length), SEEK_SET) != 0) failed = errno;
#endif
  return failed;
}

// True while name in the folder is the file open as fd, not another put
// under that name since.
#ifdef _WIN32
static bool ReadFileIdentity(HANDLE handle, BY_HANDLE_FILE_INFORMATION* info) {
  return GetFileInformationByHandle(handle, info) != 0;
}

static bool IsNamed(const StoreFolder& folder, const char* name, int fd) {
  HANDLE named = CreateFileW(WidenPathIn(folder, name).c_str(), FILE_READ_ATTRIBUTES,
                             FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr,
                             OPEN_EXISTING, FILE_FLAG_OPEN_REPARSE_POINT, nullptr);
  if (named == INVALID_HANDLE_VALUE) return false;
  BY_HANDLE_FILE_INFORMATION a, b;
  bool same = ReadFileIdentity(named, &a) &&
              ReadFileIdentity(reinterpret_cast<HANDLE>(_get_osfhandle(fd)), &b) &&
              a.dwVolumeSerialNumber == b.dwVolumeSerialNumber &&
              a.nFileIndexHigh == b.nFileIndexHigh && a.nFileIndexLow == b.nFileIndexLow;
  CloseHandle(named);
  return same;
}

// Opens a kept part as this receiver's own (made if missing and make): its
// handle shares nothing but deleting, so no other receiver opens it while
// it is held, yet it can be moved into place. -1 where another receiver
// holds it or it cannot be had. A part that is a hard link (to a file
// elsewhere, say) or a reparse point is removed (the name only), not used.
static int ClaimKeptPart(const StoreFolder& folder, const char* name, bool make, bool* made) {
  std::wstring path = WidenPathIn(folder, name);
  for (int attempt = 0; attempt < 4; attempt++) {
    HANDLE handle = CreateFileW(path.c_str(), GENERIC_READ | GENERIC_WRITE, FILE_SHARE_DELETE,
                                nullptr, make ? OPEN_ALWAYS : OPEN_EXISTING,
                                FILE_ATTRIBUTE_HIDDEN | FILE_FLAG_OPEN_REPARSE_POINT, nullptr);
    if (handle == INVALID_HANDLE_VALUE) return -1;
    *made = make && GetLastError() != ERROR_ALREADY_EXISTS;
    BY_HANDLE_FILE_INFORMATION info;
    if (ReadFileIdentity(handle, &info) && info.nNumberOfLinks == 1 &&
        !(info.dwFileAttributes & (FILE_ATTRIBUTE_REPARSE_POINT | FILE_ATTRIBUTE_DIRECTORY))) {
      int fd = _open_osfhandle(intptr_t(handle), _O_BINARY);
      if (fd < 0) CloseHandle(handle);
      return fd;
    }
    DeleteFileW(path.c_str());
    CloseHandle(handle);
  }
  return -1;
}
#else
static bool IsNamed(const StoreFolder& folder, const char* name, int fd) {
  struct stat named, held;
  return fstatat(FolderFd(folder), name, &named, AT_SYMLINK_NOFOLLOW) == 0 &&
         fstat(fd, &held) == 0 && named.st_dev == held.st_dev && named.st_ino == held.st_ino;
}

// Opens a kept part as this receiver's own (made, 0600, if missing and
// make), under an exclusive lock that it holds until the part is stored,
// kept or dropped. -1 where another receiver holds it, it is another
// user's (left alone), or it cannot be had. One that is ours but no plain
// file with one link (a link to a file elsewhere, say) is removed (the name
// only), never opened for writing or written through.
static int ClaimKeptPart(const StoreFolder& folder, const char* name, bool make, bool* made) {
  int at = FolderFd(folder);
  for (int attempt = 0; attempt < 4; attempt++) {
    *made = make;
    int fd = make ? openat(at, name, O_RDWR | O_CREAT | O_EXCL | O_CLOEXEC, 0600) : -1;
    struct stat info;
    if (fd < 0 && (!make || errno == EEXIST)) {
      *made = false;
      if (fstatat(at, name, &info, AT_SYMLINK_NOFOLLOW) != 0) {
        if (errno == ENOENT && make) continue;
        return -1;
      }
      if (info.st_uid != geteuid()) return -1;
      if (S_ISREG(info.st_mode)) {
        fd = openat(at, name, O_RDWR | O_NOFOLLOW | O_NONBLOCK | O_CLOEXEC);
      } else if (unlinkat(at, name, 0) != 0) {
        return -1;
      }
      if (fd < 0) continue;
    }
    if (fd < 0) return -1;
    // Locked, it must still be the file of that name: one taken away and
    // stored, or removed, while it was opened is not that part.
    if (flock(fd, LOCK_EX | LOCK_NB) != 0 || fstat(fd, &info) != 0) {
      close(fd);
      return -1;
    }
    bool named = IsNamed(folder, name, fd);
    if (named && info.st_uid != geteuid()) {
      close(fd);
      return -1;
    }
    if (named && S_ISREG(info.st_mode) && info.st_nlink == 1) {
      // A part an earlier velcot made readable by all is made its owner's.
      if ((info.st_mode & 0777) == 0600 || fchmod(fd, 0600) == 0) return fd;
    } else if (named) {
      unlinkat(at, name, 0);
    }
    close(fd);
  }
  return -1;
}
#endif

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
    return false;
  }
  struct stat info;
  bool exists = false;
  int refused = CheckReplaceable(folder, leaf, &info, &exists);
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
    ReportNotWritable(name.c_str(), refused != 0 ? refused : errno);
    return false;
  }
#ifndef _WIN32
  // A replaced file keeps its permissions, not those of a new file; a kept
  // part stays its owner's until it is stored.
  if (exists && S_ISREG(info.st_mode) && !received->kept) fchmod(fileno(file), info.st_mode & 0777);
#endif
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

static void DropKeptParts(const StoreFolder& folder, const char* name, const std::string& except);

bool OpenKeptPartIn(const StoreFolder& folder, const char* leaf, const char* name, uint64_t size,
                    int64_t mtime, ReceivedFile* received, uint64_t* length, uint32_t* crc) {
  *length = 0;
  *crc = 0;
  std::string part = FormKeptPartName(name, size, mtime);
  DropKeptParts(folder, name, part);
  return OpenReceivingFile(folder, leaf, part, size, received, length, crc);
}

// The file moved into place is the one written, checked as it is moved. A
// kept part is moved while still open, so that no other receiver takes it
// up first; Windows moves no other open file.
int StoreFileIn(const StoreFolder& folder, ReceivedFile* received, const char* leaf) {
  int failed = 0;
  std::string named = received->temp_name;
  FILE* file = received->file;
#ifdef O_TMPFILE
  if (named.empty()) failed = NameAnonymousFile(folder, file, &named);
#endif
  bool ours = failed == 0 && IsNamed(folder, named.c_str(), fileno(file));
  if (failed == 0 && !ours) failed = ENOENT;
#ifdef _WIN32
  if (!received->kept && fclose(file) != 0 && failed == 0) failed = errno;
  // A kept part is hidden; the file it becomes is not.
  std::wstring wide = WidenPathIn(folder, named.c_str());
  DWORD attributes = GetFileAttributesW(wide.c_str());
  if (failed == 0 && attributes != INVALID_FILE_ATTRIBUTES && (attributes & FILE_ATTRIBUTE_HIDDEN))
    SetFileAttributesW(wide.c_str(), attributes & ~DWORD(FILE_ATTRIBUTE_HIDDEN));
#endif
  if (failed == 0) failed = MoveFileIntoPlace(folder, named.c_str(), leaf);
  if (failed != 0 && ours) RemoveIn(folder, named.c_str());
#ifdef _WIN32
  if (received->kept && fclose(file) != 0 && failed == 0) failed = errno;
#else
  if (fclose(file) != 0 && failed == 0) failed = errno;
#endif
  if (failed != 0) return failed;
  failed = SyncFolder(folder);
  DropKeptParts(folder, (folder.path + leaf).c_str(), "");
  return failed;
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

// The receiver's walk: each folder level opened from the one above.
// A name Windows takes for another's short alias: refused, not unwritable.
const int kAliasRefused = -1;

#ifdef __linux__
#ifndef SYS_openat2
#define SYS_openat2 437  // the same number on every architecture
#endif
#ifndef RESOLVE_BENEATH
struct open_how {
  uint64_t flags, mode, resolve;
};
#define RESOLVE_NO_MAGICLINKS 0x02
#define RESOLVE_NO_SYMLINKS 0x04
#define RESOLVE_BENEATH 0x08
#endif

// Opens a folder at a path under parent with no link followed on the way;
// -1 with errno set, ENOSYS where the kernel (before 5.6) lacks openat2, or
// EPERM where an older container's seccomp filter does not know it.
static int OpenBeneath(int parent, const char* path) {
  struct open_how how = {};
  how.flags = O_RDONLY | O_DIRECTORY | O_CLOEXEC;
  how.resolve = RESOLVE_BENEATH | RESOLVE_NO_SYMLINKS | RESOLVE_NO_MAGICLINKS;
  return int(syscall(SYS_openat2, parent, path, &how, sizeof how));
}

static bool LacksOpenat2(int error) {
  return error == ENOSYS || error == EPERM;
}
#endif

#ifndef _WIN32
// Opens the folder part in parent, not through a link; -1 with errno set:
// ELOOP for a link, ENOTDIR for anything else not a folder.
static int OpenFolderLevel(int parent, const char* part, bool* use_openat2) {
#ifdef __linux__
  if (*use_openat2) {
    int fd = OpenBeneath(parent, part);
    if (fd >= 0 || !LacksOpenat2(errno)) return fd;
    *use_openat2 = false;
  }
#endif
  int fd = openat(parent, part, O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC);
  struct stat info;
  // O_DIRECTORY finds a link no folder first; said as openat2 says it.
  if (fd < 0 && errno == ENOTDIR && fstatat(parent, part, &info, AT_SYMLINK_NOFOLLOW) == 0 &&
      S_ISLNK(info.st_mode)) {
    errno = ELOOP;
  }
  return fd;
}

// Opens (making what is missing) the first levels parts as folders under
// the receiving folder; 0 with *fd set, or the errno of the failure.
static int WalkFolders(const std::vector<std::string>& parts, size_t levels, bool use_openat2,
                       int* fd) {
  *fd = -1;
  if (levels == 0) return 0;
#ifdef __linux__
  // Where every level is there already (every file of a tree but the
  // first), one call opens them all.
  if (use_openat2) {
    std::string joined = parts[0];
    for (size_t i = 1; i < levels; i++)
      joined += "/" + parts[i];
    int whole = OpenBeneath(AT_FDCWD, joined.c_str());
    if (whole >= 0) {
      *fd = whole;
      return 0;
    }
    if (LacksOpenat2(errno)) use_openat2 = false;
    if (errno != ENOENT && use_openat2) return errno;
  }
#endif
  int at = AT_FDCWD;
  for (size_t i = 0; i < levels; i++) {
    const char* part = parts[i].c_str();
    int next = OpenFolderLevel(at, part, &use_openat2);
    if (next < 0 && errno == ENOENT && (mkdirat(at, part, 0700) == 0 || errno == EEXIST))
      next = OpenFolderLevel(at, part, &use_openat2);
    int failed = errno;
    if (at != AT_FDCWD) close(at);
    if (next < 0) return failed;
    at = next;
  }
  *fd = at;
  return 0;
}
#else
// The same on Windows: each level checked by its attributes, a reparse
// point (a link or a junction) refused, made with CreateDirectoryW.
static int WalkFolders(const std::vector<std::string>& parts, size_t levels, bool, int* fd) {
  *fd = -1;
  StoreFolder above;
  for (size_t i = 0; i < levels; i++) {
    const char* part = parts[i].c_str();
    std::wstring wide = WidenPathIn(above, part);
    DWORD attributes = GetFileAttributesW(wide.c_str());
    if (attributes == INVALID_FILE_ATTRIBUTES && GetLastError() == ERROR_FILE_NOT_FOUND &&
        (CreateDirectoryW(wide.c_str(), nullptr) || GetLastError() == ERROR_ALREADY_EXISTS)) {
      attributes = GetFileAttributesW(wide.c_str());
    }
    if (attributes == INVALID_FILE_ATTRIBUTES) return ErrnoFromWin32Error(GetLastError());
    if (attributes & FILE_ATTRIBUTE_REPARSE_POINT) return ELOOP;
    if (!(attributes & FILE_ATTRIBUTE_DIRECTORY)) return ENOTDIR;
    if (IsAliasOfAnotherFile(above, part)) return kAliasRefused;
    above.path += parts[i] + "/";
  }
  return 0;
}
#endif

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

void CloseItemFolder(StoreFolder* folder) {
#ifndef _WIN32
  if (folder->fd >= 0) close(folder->fd);
#endif
  folder->fd = -1;
}

int ApplyFolderFacts(const StoreFolder& folder, int64_t mtime, uint32_t mode) {
#ifdef _WIN32
  (void)mode;
  std::wstring wide = WidenPathIn(folder, "");
  if (!wide.empty() && wide.back() == L'\\') wide.pop_back();
  HANDLE handle = CreateFileW(wide.c_str(), FILE_WRITE_ATTRIBUTES,
                              FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr,
                              OPEN_EXISTING, FILE_FLAG_BACKUP_SEMANTICS, nullptr);
  if (handle == INVALID_HANDLE_VALUE) return ErrnoFromWin32Error(GetLastError());
  int failed = SetWriteTime(handle, mtime);
  CloseHandle(handle);
  return failed;
#else
  return ApplyFacts(FolderFd(folder), mtime, mode);
#endif
}

// A kept part found in a folder.
struct KeptPartEntry {
  std::string name;
  uint64_t hash;
  int64_t written;  // its last write
};

static std::vector<KeptPartEntry> ListKeptParts(const StoreFolder& folder) {
  std::vector<KeptPartEntry> parts;
  KeptPartEntry entry;
  uint64_t size;
  int64_t mtime;
#ifdef _WIN32
  WIN32_FIND_DATAW found;
  HANDLE search =
      FindFirstFileW(WidenPathIn(folder, TEMP_NAME_PREFIX "*" TEMP_NAME_SUFFIX).c_str(), &found);
  if (search == INVALID_HANDLE_VALUE) return parts;
  do {
    char name[MAX_PATH];
    if (WideCharToMultiByte(CP_UTF8, 0, found.cFileName, -1, name, MAX_PATH, nullptr, nullptr) &&
        ReadKeptPartName(name, &entry.hash, &size, &mtime)) {
      entry.name = name;
      entry.written = ReadFileTime(found.ftLastWriteTime);
      parts.push_back(entry);
    }
  } while (FindNextFileW(search, &found));
  FindClose(search);
#else
  int fd = openat(FolderFd(folder), ".", O_RDONLY | O_DIRECTORY | O_CLOEXEC);
  DIR* listing = fd >= 0 ? fdopendir(fd) : nullptr;
  if (listing == nullptr) {
    if (fd >= 0) close(fd);
    return parts;
  }
  struct stat info;
  while (const struct dirent* found = readdir(listing)) {
    if (ReadKeptPartName(found->d_name, &entry.hash, &size, &mtime) &&
        fstatat(fd, found->d_name, &info, AT_SYMLINK_NOFOLLOW) == 0) {
      entry.name = found->d_name;
      entry.written = int64_t(info.st_mtime);
      parts.push_back(entry);
    }
  }
  closedir(listing);
#endif
  return parts;
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
static void DropKeptParts(const StoreFolder& folder, const char* name, const std::string& except) {
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

// A name the walk found, as it is sent: UTF-8 already on Windows, where
// the walk has wide names.
static std::string FormSentName(const std::string& local) {
#ifdef _WIN32
  return local;
#else
  return ConvertNameToUtf8(local.c_str());
#endif
}

// An entry of a folder being listed: its name as sent and as the system
// has it, and what it is.
struct FolderEntry {
  std::string name;  // UTF-8
  std::string local;
  bool folder, regular, link;
  int64_t mtime;
  uint32_t mode;
};

#ifdef _WIN32
static std::string NarrowToUtf8(const wchar_t* wide) {
  int length = WideCharToMultiByte(CP_UTF8, 0, wide, -1, nullptr, 0, nullptr, nullptr);
  if (length <= 0) return "";
  std::string utf8(size_t(length), '\0');
  WideCharToMultiByte(CP_UTF8, 0, wide, -1, &utf8[0], length, nullptr, nullptr);
  utf8.resize(size_t(length - 1));
  return utf8;
}

// Windows keeps no modes: read-only or not, as its runtime's stat tells it.
static FolderEntry ReadFoundEntry(const wchar_t* name, DWORD attributes, const FILETIME& written) {
  FolderEntry entry;
  entry.name = entry.local = NarrowToUtf8(name);
  bool link = attributes & FILE_ATTRIBUTE_REPARSE_POINT;
  entry.link = link;
  entry.folder = !link && (attributes & FILE_ATTRIBUTE_DIRECTORY);
  entry.regular = !link && !entry.folder;
  entry.mtime = ReadFileTime(written);
  entry.mode = (attributes & FILE_ATTRIBUTE_READONLY) ? 0555 : 0777;
  if (entry.regular) entry.mode &= 0666;
  return entry;
}

static bool ReadEntry(const std::string& path, FolderEntry* entry) {
  WIN32_FILE_ATTRIBUTE_DATA data;
  if (!GetFileAttributesExW(WidenName(path.c_str()).c_str(), GetFileExInfoStandard, &data)) {
    errno = ErrnoFromWin32Error(GetLastError());
    return false;
  }
  *entry = ReadFoundEntry(L"", data.dwFileAttributes, data.ftLastWriteTime);
  return true;
}

// 0 with the entries, or the errno of the failure.
static int ReadFolder(const std::string& path, std::vector<FolderEntry>* entries) {
  WIN32_FIND_DATAW found;
  HANDLE search = FindFirstFileW(WidenName((path + "\\*").c_str()).c_str(), &found);
  if (search == INVALID_HANDLE_VALUE) return ErrnoFromWin32Error(GetLastError());
  do {
    const wchar_t* name = found.cFileName;
    if (!(name[0] == L'.' && (name[1] == L'\0' || (name[1] == L'.' && name[2] == L'\0'))))
      entries->push_back(
          ReadFoundEntry(found.cFileName, found.dwFileAttributes, found.ftLastWriteTime));
  } while (FindNextFileW(search, &found));
  FindClose(search);
  return 0;
}

const char kSeparator = '\\';
#else
static FolderEntry ReadEntryInfo(const char* local, const struct stat& info) {
  FolderEntry entry;
  entry.local = local;
  entry.name = FormSentName(local);
  entry.folder = S_ISDIR(info.st_mode);
  entry.regular = S_ISREG(info.st_mode);
  entry.link = S_ISLNK(info.st_mode);
  entry.mtime = int64_t(info.st_mtime);
  entry.mode = uint32_t(info.st_mode & 0777);
  return entry;
}

static bool ReadEntry(const std::string& path, FolderEntry* entry) {
  struct stat info;
  if (stat(path.c_str(), &info) != 0) return false;
  *entry = ReadEntryInfo("", info);
  return true;
}

static int ReadFolder(const std::string& path, std::vector<FolderEntry>* entries) {
  DIR* listing = opendir(path.c_str());
  if (listing == nullptr) return errno;
  struct stat info;
  const struct dirent* found;
  while ((errno = 0, found = readdir(listing)) != nullptr) {
    // Not through a link: a link is neither a regular file nor a folder.
    // An entry gone since it was listed is passed over.
    if (strcmp(found->d_name, ".") != 0 && strcmp(found->d_name, "..") != 0 &&
        fstatat(dirfd(listing), found->d_name, &info, AT_SYMLINK_NOFOLLOW) == 0) {
      entries->push_back(ReadEntryInfo(found->d_name, info));
    }
  }
  int failed = errno;
  closedir(listing);
  return failed;
}

const char kSeparator = '/';
#endif

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
      fprintf(stderr, "Couldn't send %s: a receiver would refuse its name \"%s\"\n", shown.c_str(),
              EscapeFileName(next.name.c_str()).c_str());
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

bool IsFolder(const char* path) {
#ifdef _WIN32
  DWORD attributes = GetFileAttributesW(WidenName(path).c_str());
  return attributes != INVALID_FILE_ATTRIBUTES && (attributes & FILE_ATTRIBUTE_DIRECTORY);
#else
  struct stat info;
  return stat(path, &info) == 0 && S_ISDIR(info.st_mode);
#endif
}

// The name a folder given to the sender is sent under, in UTF-8: its last
// part, or for ".", ".." or a path ending in a separator, its real path's;
// empty for a root, which has none.
static std::string FindFolderName(const std::string& path) {
  std::string base = FindBaseName(path.c_str());
  if (!base.empty() && base != "." && base != "..") return FormSentName(base);
#ifdef _WIN32
  wchar_t real[MAX_PATH];
  DWORD length = GetFullPathNameW(WidenName(path.c_str()).c_str(), MAX_PATH, real, nullptr);
  if (length == 0 || length >= MAX_PATH) return "";
  while (length > 0 && real[length - 1] == L'\\')
    real[--length] = L'\0';
  return FindBaseName(NarrowToUtf8(real).c_str());
#else
  char* real = realpath(path.c_str(), nullptr);
  if (real == nullptr) return "";
  base = FormSentName(FindBaseName(real));
  free(real);
  return base;
#endif
}

bool ListFolderToSend(const char* path, std::vector<SendItem>* items, bool* whole) {
  bool ignored = true;
  if (whole == nullptr) whole = &ignored;
    // On Windows the path is in the ANSI code page; what the walk finds in
    // UTF-8, so the path goes on in UTF-8.
#ifdef _WIN32
  std::string local = ConvertNameToUtf8(path);
#else
  std::string local = path;
#endif
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
    fprintf(stderr, "Couldn't send %s: a receiver would refuse its name \"%s\"\n", shown.c_str(),
            EscapeFileName(root.name.c_str()).c_str());
    return false;
  }
  return ListFolderItems(root, items, whole);
}
