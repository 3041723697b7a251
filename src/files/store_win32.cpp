// The store on Windows: names in a folder as whole wide paths, kept parts
// held by sharing nothing but deleting, hidden until they are stored.
#include <fcntl.h>
#include <io.h>
#include <sys/stat.h>

#include <algorithm>
#include <cerrno>
#include <cstring>

#include "files/names.h"
#include "files/store.h"
#include "files/store_platform.h"
#include "ports/win32_error.h"

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

// A name in a folder as the system's calls take it: the whole path.
static std::wstring WidenPathIn(const StoreFolder& folder, const char* name) {
  std::string path = folder.path + name;
  std::replace(path.begin(), path.end(), '/', '\\');
  return WidenName(path.c_str());
}

// open(2) in a folder; -1 with errno set.
int OpenIn(const StoreFolder& folder, const char* name, int flags, int mode) {
  return _wopen(WidenPathIn(folder, name).c_str(), flags, mode);
}

// Removes a file from a folder; 0, or the errno of the failure.
int RemoveIn(const StoreFolder& folder, const char* name) {
  if (DeleteFileW(WidenPathIn(folder, name).c_str())) return 0;
  return ErrnoFromWin32Error(GetLastError());
}

// Puts a file in place of another, replacing it if it exists. Returns 0, or
// the errno of the failure. (Windows' rename never replaces a file.)
static int MoveFileIntoPlace(const StoreFolder& folder, const char* from, const char* to) {
  if (MoveFileExW(WidenPathIn(folder, from).c_str(), WidenPathIn(folder, to).c_str(),
                  MOVEFILE_REPLACE_EXISTING | MOVEFILE_WRITE_THROUGH)) {
    return 0;
  }
  return ErrnoFromWin32Error(GetLastError());
}

int MoveFileToFreeName(const StoreFolder& folder, const char* from, const char* to) {
  if (MoveFileExW(WidenPathIn(folder, from).c_str(), WidenPathIn(folder, to).c_str(),
                  MOVEFILE_WRITE_THROUGH)) {
    return 0;
  }
  DWORD error = GetLastError();
  return error == ERROR_ALREADY_EXISTS || error == ERROR_FILE_EXISTS ? EEXIST
                                                                     : ErrnoFromWin32Error(error);
}

// A seed for temporary names that never waits: on a fresh boot without a
// hardware generator the kernel's random pool can take seconds to fill,
// and the sender would wait for the answer that long. A name only has to
// be free, which creating it checks, so the clock and the process id do
// where the pool is not ready.
uint32_t SeedTempNames() {
  uint32_t seed = 0;
  LARGE_INTEGER count;
  QueryPerformanceCounter(&count);
  seed = uint32_t(count.QuadPart) ^ GetTickCount() ^ (GetCurrentProcessId() << 16);
  return seed;
}

// Creates the file a received file is written to: anonymous where the
// system allows (temp_name left empty), or named beside the target.
FILE* CreateTempFile(const StoreFolder& folder, std::string* temp_name) {
  temp_name->clear();
  return CreateNamedTempFile(folder, temp_name);
}

// Why the file in the way of a received one cannot be replaced: EISDIR for
// a folder, EACCES for a file this user may not write (opening it for
// writing would have failed), or 0. A link is replaced, not followed,
// whatever it points at. *info holds what is there, if anything.
int CheckReplaceable(const StoreFolder& folder, const char* name, struct stat* info, bool* exists) {
  DWORD attributes = GetFileAttributesW(WidenPathIn(folder, name).c_str());
  *exists = attributes != INVALID_FILE_ATTRIBUTES;
  info->st_mode = 0;  // Windows keeps no permission bits to carry over
  if (!*exists) return 0;
  if (attributes & FILE_ATTRIBUTE_DIRECTORY) return EISDIR;
  return attributes & FILE_ATTRIBUTE_READONLY ? EACCES : 0;
}

// True when Windows takes the name for the short (8.3) alias of a file
// whose own name is another: storing under it would replace that file.
bool IsAliasOfAnotherFile(const StoreFolder& folder, const char* name) {
  WIN32_FIND_DATAW found;
  HANDLE search = FindFirstFileW(WidenPathIn(folder, name).c_str(), &found);
  if (search == INVALID_HANDLE_VALUE) return false;
  FindClose(search);
  return _wcsicmp(found.cFileName, WidenName(name).c_str()) != 0;
}

// Windows keeps no permission bits to carry over.
void CarryOverMode(FILE*, const struct stat&) {}

int SyncFile(FILE* file) {
  if (fflush(file) != 0) return errno;
  return _commit(_fileno(file)) == 0 ? 0 : errno;
}

// Puts a folder's entries on the disk, so a file moved into place stays
// there; 0, or the errno of the failure. Windows commits a rename with the
// file (MOVEFILE_WRITE_THROUGH).
int SyncFolder(const StoreFolder& folder) {
  (void)folder;
  return 0;
}

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

// Cuts an open file to length and puts its position there; 0, or the errno
// of the failure.
int TruncateFd(int fd, uint64_t length) {
  LARGE_INTEGER at;
  at.QuadPart = LONGLONG(length);
  HANDLE handle = reinterpret_cast<HANDLE>(_get_osfhandle(fd));
  if (!SetFilePointerEx(handle, at, nullptr, FILE_BEGIN) || !SetEndOfFile(handle))
    return ErrnoFromWin32Error(GetLastError());
  return _lseeki64(fd, int64_t(length), SEEK_SET) < 0 ? errno : 0;
}

int CutFile(FILE* file, uint64_t length) {
  if (fflush(file) != 0) return errno;
  int failed = TruncateFd(fileno(file), length);
  return failed;
}

// True while name in the folder is the file open as fd, not another put
// under that name since.
static bool ReadFileIdentity(HANDLE handle, BY_HANDLE_FILE_INFORMATION* info) {
  return GetFileInformationByHandle(handle, info) != 0;
}

bool IsNamed(const StoreFolder& folder, const char* name, int fd) {
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
int ClaimKeptPart(const StoreFolder& folder, const char* name, bool make, bool* made) {
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

// The file moved into place is the one written, checked as it is moved. A
// kept part is moved while still open, so that no other receiver takes it
// up first; Windows moves no other open file.
int StoreFileIn(const StoreFolder& folder, ReceivedFile* received, const char* leaf) {
  int failed = 0;
  std::string named = received->temp_name;
  FILE* file = received->file;
  bool ours = failed == 0 && IsNamed(folder, named.c_str(), fileno(file));
  if (failed == 0 && !ours) failed = ENOENT;
  if (!received->kept && fclose(file) != 0 && failed == 0) failed = errno;
  // A kept part is hidden; the file it becomes is not.
  std::wstring wide = WidenPathIn(folder, named.c_str());
  DWORD attributes = GetFileAttributesW(wide.c_str());
  if (failed == 0 && attributes != INVALID_FILE_ATTRIBUTES && (attributes & FILE_ATTRIBUTE_HIDDEN))
    SetFileAttributesW(wide.c_str(), attributes & ~DWORD(FILE_ATTRIBUTE_HIDDEN));
  if (failed == 0 && received->existing == ExistingFile::kRename) {
    failed = MoveFileBeside(folder, named.c_str(), leaf, received);
  } else if (failed == 0) {
    failed = MoveFileIntoPlace(folder, named.c_str(), leaf);
  }
  if (failed != 0 && ours) RemoveIn(folder, named.c_str());
  if (received->kept && fclose(file) != 0 && failed == 0) failed = errno;
  if (failed != 0) return failed;
  failed = SyncFolder(folder);
  DropKeptParts(folder, (folder.path + leaf).c_str(), "");
  return failed;
}

// The same on Windows: each level checked by its attributes, a reparse
// point (a link or a junction) refused, made with CreateDirectoryW.
int WalkFolders(const std::vector<std::string>& parts, size_t levels, bool, int* fd) {
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

void CloseItemFolder(StoreFolder* folder) {
  folder->fd = -1;
}

int ApplyFolderFacts(const StoreFolder& folder, int64_t mtime, uint32_t mode) {
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
}

std::vector<KeptPartEntry> ListKeptParts(const StoreFolder& folder) {
  std::vector<KeptPartEntry> parts;
  KeptPartEntry entry;
  uint64_t size;
  int64_t mtime;
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
  return parts;
}

// A name the walk found, as it is sent: UTF-8 already on Windows, where
// the walk has wide names.
std::string FormSentName(const std::string& local) {
  return local;
}

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

bool ReadEntry(const std::string& path, FolderEntry* entry) {
  WIN32_FILE_ATTRIBUTE_DATA data;
  if (!GetFileAttributesExW(WidenName(path.c_str()).c_str(), GetFileExInfoStandard, &data)) {
    errno = ErrnoFromWin32Error(GetLastError());
    return false;
  }
  *entry = ReadFoundEntry(L"", data.dwFileAttributes, data.ftLastWriteTime);
  return true;
}

// 0 with the entries, or the errno of the failure.
int ReadFolder(const std::string& path, std::vector<FolderEntry>* entries) {
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

bool IsFolder(const char* path) {
  DWORD attributes = GetFileAttributesW(WidenName(path).c_str());
  return attributes != INVALID_FILE_ATTRIBUTES && (attributes & FILE_ATTRIBUTE_DIRECTORY);
}

std::string FindRealFolderName(const std::string& path) {
  wchar_t real[MAX_PATH];
  DWORD length = GetFullPathNameW(WidenName(path.c_str()).c_str(), MAX_PATH, real, nullptr);
  if (length == 0 || length >= MAX_PATH) return "";
  while (length > 0 && real[length - 1] == L'\\')
    real[--length] = L'\0';
  return FindBaseName(NarrowToUtf8(real).c_str());
}

// On Windows the path is in the ANSI code page; what the walk finds in
// UTF-8, so the path goes on in UTF-8.
std::string FormLocalPath(const char* path) {
  return ConvertNameToUtf8(path);
}
