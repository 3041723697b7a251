// store_platform: what the store asks of the system, one file per
// platform (store_posix.cpp, store_win32.cpp), as the port; store.cpp holds
// what both share. For the store's own files only.
#ifndef VELCOT_STORE_PLATFORM_H
#define VELCOT_STORE_PLATFORM_H

#include <sys/stat.h>

#include <cstdint>
#include <cstdio>
#include <string>
#include <vector>

struct StoreFolder;
struct ReceivedFile;

#ifndef O_BINARY
#define O_BINARY 0  // POSIX files have no text mode
#endif
#ifndef O_NOFOLLOW
#define O_NOFOLLOW 0  // Windows: links are seen as reparse points instead
#endif
#ifndef O_NONBLOCK
#define O_NONBLOCK 0  // Windows has no FIFOs to block on
#endif

// ---- what each platform does its own way ----

// open(2) in a folder; -1 with errno set.
int OpenIn(const StoreFolder& folder, const char* name, int flags, int mode);

// Removes a file from a folder; 0, or the errno of the failure.
int RemoveIn(const StoreFolder& folder, const char* name);

// A seed for temporary names that never waits.
uint32_t SeedTempNames();

// Creates the file a received file is written to: anonymous where the
// system allows (temp_name left empty), or named beside the target.
FILE* CreateTempFile(const StoreFolder& folder, std::string* temp_name);

// Why the file in the way of a received one cannot be replaced: EISDIR for
// a folder, EACCES for a file this user may not write (opening it for
// writing would have failed), or 0. A link is replaced, not followed,
// whatever it points at. *info holds what is there, if anything.
int CheckReplaceable(const StoreFolder& folder, const char* name, struct stat* info, bool* exists);

// Puts a file under a name that must be free: 0, EEXIST when it is taken,
// or the errno of another failure.
int MoveFileToFreeName(const StoreFolder& folder, const char* from, const char* to);

// True when the system takes the name for the short (8.3) alias of a file
// whose own name is another: storing under it would replace that file.
bool IsAliasOfAnotherFile(const StoreFolder& folder, const char* name);

// A replaced file keeps its permissions, not those of a new file.
void CarryOverMode(FILE* file, const struct stat& replaced);

// Puts a folder's entries on the disk, so a file moved into place stays
// there; 0, or the errno of the failure.
int SyncFolder(const StoreFolder& folder);

// Cuts an open file to length and puts its position there; 0, or the errno
// of the failure.
int TruncateFd(int fd, uint64_t length);

// True while name in the folder is the file open as fd, not another put
// under that name since.
bool IsNamed(const StoreFolder& folder, const char* name, int fd);

// Opens a kept part as this receiver's own (made if missing and make),
// held so that no other receiver takes it up; -1 where another receiver
// holds it or it cannot be had.
int ClaimKeptPart(const StoreFolder& folder, const char* name, bool make, bool* made);

// A name the system takes for another's short alias: refused, not
// unwritable.
const int kAliasRefused = -1;

// The receiver's walk: opens (making what is missing) the first levels
// parts as folders under the receiving folder, each level from the one
// above; 0 with *fd set, kAliasRefused, or the errno of the failure.
int WalkFolders(const std::vector<std::string>& parts, size_t levels, bool use_openat2, int* fd);

// A kept part found in a folder.
struct KeptPartEntry {
  std::string name;
  uint64_t hash;
  int64_t written;  // its last write
};

// An entry of a folder being listed: its name as sent and as the system
// has it, and what it is.
struct FolderEntry {
  std::string name;  // UTF-8
  std::string local;
  bool folder, regular, link;
  int64_t mtime;
  uint32_t mode;
};

std::vector<KeptPartEntry> ListKeptParts(const StoreFolder& folder);

// A name the walk found, as it is sent: in UTF-8.
std::string FormSentName(const std::string& local);

// The facts of the file or folder at path; false with errno set.
bool ReadEntry(const std::string& path, FolderEntry* entry);

// 0 with the entries, or the errno of the failure.
int ReadFolder(const std::string& path, std::vector<FolderEntry>* entries);

// The separator the walk puts between a folder and its entries.
extern const char kSeparator;

// The name of the folder at path (".", "..", or ending in a separator)
// taken from its real path, in UTF-8; empty for a root.
std::string FindRealFolderName(const std::string& path);

// A folder given to the sender as the walk takes it: in UTF-8 on Windows,
// where the command line has the ANSI code page.
std::string FormLocalPath(const char* path);

// ---- shared, for the platforms' own ----

// Tries fresh temporary names until make, which returns 0 or an errno,
// succeeds on one that is not taken yet; 0 with *temp_name set, or the
// errno of the failure.
int PickTempName(int (*make)(const char* name, void* context), void* context,
                 std::string* temp_name);

// Creates a new named file beside the target; nullptr with errno set.
FILE* CreateNamedTempFile(const StoreFolder& folder, std::string* temp_name);

// Removes the kept parts of a name, but except.
void DropKeptParts(const StoreFolder& folder, const char* name, const std::string& except);

// --existing rename: moves the file to leaf when it is free, else to the
// first free name of leaf.1, leaf.2, ..., which received->placed then
// tells; 0, or the errno of the failure.
int MoveFileBeside(const StoreFolder& folder, const char* from, const char* leaf,
                   ReceivedFile* received);

#endif
