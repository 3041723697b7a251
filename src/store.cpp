#include "store.h"

#include <fcntl.h>
#include <sys/stat.h>
#ifdef _WIN32
#include <io.h>

#include "win32_error.h"
#else
#include <time.h>
#include <unistd.h>
#endif
#ifdef __linux__
#include <sys/random.h>
#endif

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <random>

#include "names.h"
#include "progress.h"

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
#ifndef O_NONBLOCK
#define O_NONBLOCK 0  // Windows has no FIFOs to block on
#endif

// What is checked is what was opened, and opening does not wait, so a path
// swapped for a FIFO cannot block the sender.
FILE* OpenFileToSend(const char* path, uint64_t* size) {
  int fd = open(path, O_RDONLY | O_BINARY | O_NONBLOCK);
  if (fd < 0) {
    int reason = errno;
    struct stat info;
    if (stat(path, &info) != 0) {
      fprintf(stderr, "Couldn't stat %s: %s\n", path, strerror(errno));
    } else if (!S_ISREG(info.st_mode)) {
      fprintf(stderr, "Couldn't send %s: not a regular file\n", path);  // a Windows folder
    } else {
      fprintf(stderr, "Couldn't open %s for reading: %s\n", path, strerror(reason));
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
    fprintf(stderr, "Couldn't send %s: %s\n", path, refused);
    close(fd);
    return nullptr;
  }
  *size = uint64_t(info.st_size);
  return file;
}

// Creates a file that must not exist yet, for writing in binary mode;
// nullptr with errno set otherwise. The runtime's fopen may not know "x".
static FILE* CreateNewFile(const char* name) {
  int fd = open(name, O_WRONLY | O_CREAT | O_EXCL | O_BINARY, 0666);
  if (fd < 0) return nullptr;
  FILE* file = fdopen(fd, "wb");
  if (file == nullptr) {
    int reason = errno;
    close(fd);
    remove(name);
    errno = reason;
  }
  return file;
}

// Puts a file in place of another, replacing it if it exists. Returns 0, or
// the errno of the failure. (Windows' rename never replaces a file.)
static int MoveFileIntoPlace(const char* from, const char* to) {
#ifdef _WIN32
  if (MoveFileExW(WidenName(from).c_str(), WidenName(to).c_str(),
                  MOVEFILE_REPLACE_EXISTING | MOVEFILE_WRITE_THROUGH)) {
    return 0;
  }
  return ErrnoFromWin32Error(GetLastError());
#else
  return rename(from, to) == 0 ? 0 : errno;
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

static int MakeNewFile(const char* name, void* file) {
  *static_cast<FILE**>(file) = CreateNewFile(name);
  return *static_cast<FILE**>(file) != nullptr ? 0 : errno;
}

// Creates a new named file beside the target; nullptr with errno set.
static FILE* CreateNamedTempFile(std::string* temp_name) {
  FILE* file = nullptr;
  int failed = PickTempName(MakeNewFile, &file, temp_name);
  if (failed != 0) errno = failed;
  return file;
}

#ifdef O_TMPFILE
// On Linux a file is received into an anonymous file, which nothing, not
// even SIGKILL or a power cut, can leave behind, and named only once it is
// complete. nullptr where the file system refuses O_TMPFILE, or /proc,
// through which it is named, is missing.
static FILE* CreateAnonymousFile() {
  if (access("/proc/self/fd", X_OK) != 0) return nullptr;
  int fd = open(".", O_TMPFILE | O_WRONLY | O_CLOEXEC, 0666);
  if (fd < 0) return nullptr;
  FILE* file = fdopen(fd, "wb");
  if (file == nullptr) close(fd);
  return file;
}

static int LinkUnder(const char* name, void* proc_path) {
  const char* from = static_cast<const char*>(proc_path);
  if (linkat(AT_FDCWD, from, AT_FDCWD, name, AT_SYMLINK_FOLLOW) != 0) return errno;
  return 0;
}

// Links an anonymous file under a temporary name, from which it is moved
// into place. Returns 0, or the errno of the failure.
static int NameAnonymousFile(FILE* file, std::string* temp_name) {
  char path[64];
  snprintf(path, sizeof path, "/proc/self/fd/%d", fileno(file));
  return PickTempName(LinkUnder, path, temp_name);
}
#endif

// Creates the file a received file is written to: anonymous where the
// system allows (temp_name left empty), or named beside the target.
static FILE* CreateTempFile(std::string* temp_name) {
  temp_name->clear();
#ifdef O_TMPFILE
  FILE* file = CreateAnonymousFile();
  if (file != nullptr) return file;
#endif
  return CreateNamedTempFile(temp_name);
}

// Why the file in the way of a received one cannot be replaced: EISDIR for
// a folder, EACCES for a file this user may not write (opening it for
// writing would have failed), or 0. A link is replaced, not followed,
// whatever it points at. *info holds what is there, if anything.
#ifdef _WIN32
static int CheckReplaceable(const char* name, struct stat* info, bool* exists) {
  DWORD attributes = GetFileAttributesW(WidenName(name).c_str());
  *exists = attributes != INVALID_FILE_ATTRIBUTES;
  info->st_mode = 0;  // Windows keeps no permission bits to carry over
  if (!*exists) return 0;
  if (attributes & FILE_ATTRIBUTE_DIRECTORY) return EISDIR;
  return attributes & FILE_ATTRIBUTE_READONLY ? EACCES : 0;
}
#else
static int CheckReplaceable(const char* name, struct stat* info, bool* exists) {
  *exists = lstat(name, info) == 0;
  if (!*exists) return 0;
  if (S_ISDIR(info->st_mode)) return EISDIR;
  if (S_ISREG(info->st_mode) && access(name, W_OK) != 0 && errno == EACCES) return EACCES;
  return 0;
}
#endif

#ifdef _WIN32
// True when Windows takes the name for the short (8.3) alias of a file
// whose own name is another: storing under it would replace that file.
static bool IsAliasOfAnotherFile(const char* name) {
  std::wstring wide = WidenName(name);
  WIN32_FIND_DATAW found;
  HANDLE search = FindFirstFileW(wide.c_str(), &found);
  if (search == INVALID_HANDLE_VALUE) return false;
  FindClose(search);
  return _wcsicmp(found.cFileName, wide.c_str()) != 0;
}
#else
static bool IsAliasOfAnotherFile(const char*) {
  return false;
}
#endif

bool OpenFileToStore(const char* name, bool utf8_only, ReceivedFile* received) {
  bool shown = !utf8_only || (IsValidUtf8(name) && HasNoC1Controls(name));
  if (!shown || !IsPlainFileName(name) || IsAliasOfAnotherFile(name)) {
    fprintf(stderr, "Refusing file \"%s\": not a plain file name\n", EscapeFileName(name).c_str());
    return false;
  }
  struct stat info;
  bool exists = false;
  int refused = CheckReplaceable(name, &info, &exists);
  FILE* file = refused == 0 ? CreateTempFile(&received->temp_name) : nullptr;
  if (file == nullptr) {
    int reason = refused != 0 ? refused : errno;
    fprintf(stderr, "Couldn't open %s for writing: %s\n", EscapeForConsole(name).c_str(),
            strerror(reason));
    return false;
  }
#ifndef _WIN32
  // A replaced file keeps its permissions, not those of a new file.
  if (exists && S_ISREG(info.st_mode)) fchmod(fileno(file), info.st_mode & 0777);
#endif
  // Each block goes to the system as it is written, so a write that fails
  // (a full disk) is seen at that block, not some blocks later.
  setvbuf(file, nullptr, _IONBF, 0);
  received->file = file;
  return true;
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

// Puts the current directory's entries on the disk, so a file moved into
// place stays there; 0, or the errno of the failure. Windows commits a
// rename with the file (MOVEFILE_WRITE_THROUGH).
static int SyncCurrentDirectory() {
#ifdef _WIN32
  return 0;
#else
  int fd = open(".", O_RDONLY | O_DIRECTORY | O_CLOEXEC);
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
  int failed = 0;
  std::string named = received->temp_name;
#ifdef O_TMPFILE
  if (named.empty()) failed = NameAnonymousFile(received->file, &named);
#endif
  if (fclose(received->file) != 0 && failed == 0) failed = errno;
  if (failed == 0) failed = MoveFileIntoPlace(named.c_str(), name);
  if (failed != 0) {
    if (!named.empty()) remove(named.c_str());
    return failed;
  }
  return SyncCurrentDirectory();
}

#ifdef _WIN32
int ApplyFileFacts(FILE* file, int64_t mtime, uint32_t) {
  if (fflush(file) != 0) return errno;
  // FILETIME counts 100 ns steps from 1601.
  uint64_t steps = uint64_t(mtime + 11644473600LL) * 10000000u;
  FILETIME written = {DWORD(steps), DWORD(steps >> 32)};
  HANDLE handle = reinterpret_cast<HANDLE>(_get_osfhandle(_fileno(file)));
  if (!SetFileTime(handle, nullptr, nullptr, &written)) return ErrnoFromWin32Error(GetLastError());
  return 0;
}
#else
int ApplyFileFacts(FILE* file, int64_t mtime, uint32_t mode) {
  // Written out first: a later write would set the time anew.
  if (fflush(file) != 0) return errno;
  mode_t withheld = umask(0);
  umask(withheld);
  if (fchmod(fileno(file), mode_t(mode & 0777) & ~withheld) != 0) return errno;
  struct timespec times[2] = {{0, UTIME_OMIT}, {time_t(mtime), 0}};
  return futimens(fileno(file), times) == 0 ? 0 : errno;
}
#endif

void DiscardFile(ReceivedFile* received) {
  fclose(received->file);
  if (!received->temp_name.empty()) remove(received->temp_name.c_str());
}
