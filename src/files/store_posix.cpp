// The store on POSIX systems: names in a folder taken relative to its
// descriptor, kept parts under flock, anonymous files where Linux has them.
#include <dirent.h>
#include <fcntl.h>
#include <stdlib.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <time.h>
#include <unistd.h>
#ifdef __linux__
#include <sys/random.h>
#include <sys/syscall.h>
#if __has_include(<linux/openat2.h>)
#include <linux/openat2.h>
#endif
#endif

#include <cerrno>
#include <cstring>

#include "files/names.h"
#include "files/store.h"
#include "files/store_platform.h"

// A name in a folder as the system's calls take it: relative to the
// folder's descriptor.
static int FolderFd(const StoreFolder& folder) {
  return folder.fd < 0 ? AT_FDCWD : folder.fd;
}

// open(2) in a folder; -1 with errno set.
int OpenIn(const StoreFolder& folder, const char* name, int flags, int mode) {
  return openat(FolderFd(folder), name, flags, mode);
}

// Removes a file from a folder; 0, or the errno of the failure.
int RemoveIn(const StoreFolder& folder, const char* name) {
  return unlinkat(FolderFd(folder), name, 0) == 0 ? 0 : errno;
}

// Puts a file in place of another, replacing it if it exists. Returns 0, or
// the errno of the failure. (Windows' rename never replaces a file.)
static int MoveFileIntoPlace(const StoreFolder& folder, const char* from, const char* to) {
  return renameat(FolderFd(folder), from, FolderFd(folder), to) == 0 ? 0 : errno;
}

// A link where the file system takes one, so that a file made meanwhile is
// never replaced; else a check, then the move.
int MoveFileToFreeName(const StoreFolder& folder, const char* from, const char* to) {
  if (linkat(FolderFd(folder), from, FolderFd(folder), to, 0) == 0) {
    unlinkat(FolderFd(folder), from, 0);
    return 0;
  }
  if (errno == EEXIST) return EEXIST;
  struct stat info;
  if (fstatat(FolderFd(folder), to, &info, AT_SYMLINK_NOFOLLOW) == 0) return EEXIST;
  return MoveFileIntoPlace(folder, from, to);
}

// A seed for temporary names that never waits: on a fresh boot without a
// hardware generator the kernel's random pool can take seconds to fill,
// and the sender would wait for the answer that long. A name only has to
// be free, which creating it checks, so the clock and the process id do
// where the pool is not ready.
uint32_t SeedTempNames() {
  uint32_t seed = 0;
#ifdef __linux__
  if (getrandom(&seed, sizeof seed, GRND_NONBLOCK) == ssize_t(sizeof seed)) return seed;
#endif
  struct timespec now;
  clock_gettime(CLOCK_REALTIME, &now);
  seed = uint32_t(now.tv_nsec) ^ uint32_t(now.tv_sec) ^ (uint32_t(getpid()) << 16);
  return seed;
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

namespace {

// What an anonymous file is linked as, in which folder.
struct LinkUse {
  const StoreFolder* folder;
  const char* proc_path;
};

}  // namespace

static int LinkUnder(const char* name, void* use) {
  LinkUse* linking = static_cast<LinkUse*>(use);
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
  LinkUse use = {&folder, path};
  return PickTempName(LinkUnder, &use, temp_name);
}
#endif

// Creates the file a received file is written to: anonymous where the
// system allows (temp_name left empty), or named beside the target.
FILE* CreateTempFile(const StoreFolder& folder, std::string* temp_name) {
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
int CheckReplaceable(const StoreFolder& folder, const char* name, struct stat* info, bool* exists) {
  *exists = fstatat(FolderFd(folder), name, info, AT_SYMLINK_NOFOLLOW) == 0;
  if (!*exists) return 0;
  if (S_ISDIR(info->st_mode)) return EISDIR;
  if (S_ISREG(info->st_mode) && faccessat(FolderFd(folder), name, W_OK, 0) != 0 &&
      errno == EACCES) {
    return EACCES;
  }
  return 0;
}

bool IsAliasOfAnotherFile(const StoreFolder&, const char*) {
  return false;
}

void CarryOverMode(FILE* file, const struct stat& replaced) {
  if (S_ISREG(replaced.st_mode)) fchmod(fileno(file), replaced.st_mode & 0777);
}

int SyncFile(FILE* file) {
  if (fflush(file) != 0) return errno;
  return fsync(fileno(file)) == 0 ? 0 : errno;
}

// Puts a folder's entries on the disk, so a file moved into place stays
// there; 0, or the errno of the failure. Windows commits a rename with the
// file (MOVEFILE_WRITE_THROUGH).
int SyncFolder(const StoreFolder& folder) {
  int fd = openat(FolderFd(folder), ".", O_RDONLY | O_DIRECTORY | O_CLOEXEC);
  if (fd < 0) return errno;
  // Some file systems cannot sync a directory and have nothing to sync.
  int result = fsync(fd) == 0 || errno == EINVAL ? 0 : errno;
  close(fd);
  return result;
}

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

// Cuts an open file to length and puts its position there; 0, or the errno
// of the failure.
int TruncateFd(int fd, uint64_t length) {
  if (ftruncate(fd, off_t(length)) != 0) return errno;
  return lseek(fd, off_t(length), SEEK_SET) < 0 ? errno : 0;
}

int CutFile(FILE* file, uint64_t length) {
  if (fflush(file) != 0) return errno;
  int failed = TruncateFd(fileno(file), length);
  // The stream's own idea of its position follows (unbuffered, so nothing
  // is pending).
  if (failed == 0 && fseeko(file, off_t(length), SEEK_SET) != 0) failed = errno;
  return failed;
}

// True while name in the folder is the file open as fd, not another put
// under that name since.
bool IsNamed(const StoreFolder& folder, const char* name, int fd) {
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
int ClaimKeptPart(const StoreFolder& folder, const char* name, bool make, bool* made) {
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
  if (failed == 0 && received->existing == ExistingFile::kRename) {
    failed = MoveFileBeside(folder, named.c_str(), leaf, received);
  } else if (failed == 0) {
    failed = MoveFileIntoPlace(folder, named.c_str(), leaf);
  }
  if (failed != 0 && ours) RemoveIn(folder, named.c_str());
  if (fclose(file) != 0 && failed == 0) failed = errno;
  if (failed != 0) return failed;
  failed = SyncFolder(folder);
  DropKeptParts(folder, (folder.path + leaf).c_str(), "");
  return failed;
}

#ifdef __linux__
#ifndef SYS_openat2
#define SYS_openat2 437  // the same number on every architecture
#endif
#ifndef RESOLVE_BENEATH

namespace {

struct open_how {
  uint64_t flags, mode, resolve;
};

}  // namespace
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
int WalkFolders(const std::vector<std::string>& parts, size_t levels, bool use_openat2, int* fd) {
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

void CloseItemFolder(StoreFolder* folder) {
  if (folder->fd >= 0) close(folder->fd);
  folder->fd = -1;
}

int ApplyFolderFacts(const StoreFolder& folder, int64_t mtime, uint32_t mode) {
  return ApplyFacts(FolderFd(folder), mtime, mode);
}

std::vector<KeptPartEntry> ListKeptParts(const StoreFolder& folder) {
  std::vector<KeptPartEntry> parts;
  KeptPartEntry entry;
  uint64_t size;
  int64_t mtime;
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
  return parts;
}

// A name the walk found, as it is sent: UTF-8 already on Windows, where
// the walk has wide names.
std::string FormSentName(const std::string& local) {
  return ConvertNameToUtf8(local.c_str());
}

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

bool ReadEntry(const std::string& path, FolderEntry* entry) {
  struct stat info;
  if (stat(path.c_str(), &info) != 0) return false;
  *entry = ReadEntryInfo("", info);
  return true;
}

int ReadFolder(const std::string& path, std::vector<FolderEntry>* entries) {
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

bool IsFolder(const char* path) {
  struct stat info;
  return stat(path, &info) == 0 && S_ISDIR(info.st_mode);
}

std::string FindRealFolderName(const std::string& path) {
  char* real = realpath(path.c_str(), nullptr);
  if (real == nullptr) return "";
  std::string base = FormSentName(FindBaseName(real));
  free(real);
  return base;
}

std::string FormLocalPath(const char* path) {
  return path;
}
