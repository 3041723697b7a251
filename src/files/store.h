// store: the files at either end. The file to send is opened for reading
// without waiting; a received file is written to a temporary file,
// anonymous where the system allows, and moved into place only once it is
// complete, so an old file stands until then.
#ifndef VELCOT_STORE_H
#define VELCOT_STORE_H

#include <cstdint>
#include <cstdio>
#include <string>
#include <vector>

#include "base/outcome.h"
#include "base/wire.h"

// On Windows a received name is taken as UTF-8 when it is valid UTF-8 (as
// the streaming exchange sends every name), and in the ANSI code page
// otherwise (as a classic Windows sender writes it).

// Opens a file to send and finds its size, before anything about it goes
// on the line, so that a file that cannot be sent is skipped without
// leaving the receiver waiting. The path is taken as OpenByPath takes it
// (a folder's items are in UTF-8 on Windows). nullptr after reporting why
// not.
FILE* OpenFileToSend(const char* path, uint64_t* size);

// A file being received: the temporary file that becomes it once complete.
struct ReceivedFile {
  FILE* file;
  std::string temp_name;  // empty for an anonymous file; a kept part's name
  bool kept = false;      // a kept part, held as this receiver's own while open
  // Set before it is opened: what becomes of a file of that name there.
  ExistingFile existing = ExistingFile::kReplace;
  // Why it could not be opened, as the message said it after its colon,
  // for the sender to hear; and whether that is --existing keep's refusal.
  std::string refusal = "";
  bool kept_existing = false;
  std::string placed = "";  // --existing rename: the name it was stored under, if not its own
};

// Tells, after the file's progress line, a name --existing rename stored
// the file under.
void ReportPlacedName(const ReceivedFile& received, const char* name);

// Why a file to send yielded fewer bytes than asked: kEndedEarly
// (outcome.h) when it ended first (it shrank, or changed while it was
// sent), or the errno of the read that failed.
// Reads length bytes of a file to send: 0 once all came, or why not (as
// above); *got tells how many came.
int ReadFileBytes(FILE* file, uint8_t* bytes, size_t length, size_t* got);

// Appends length bytes to a received file: 0, or the errno of the write
// that failed.
int WriteFileBytes(FILE* file, const uint8_t* bytes, size_t length);

// Checks the received name and opens the temporary file that will become
// it. A name the streaming exchange carried must be UTF-8 without C1
// controls (utf8_only). False after reporting why the file cannot be stored.
bool OpenFileToStore(const char* name, bool utf8_only, ReceivedFile* received);

// Says why a received name is not stored: "Refusing file "NAME": not a
// plain file name".
void ReportRefusedName(const char* name);

// Says that the file at path is not sent, as a receiver would refuse the
// name it would go under.
void ReportRefusedToSend(const char* path, const char* name);

// Puts a completely received file's data on the disk; 0, or the errno of
// what failed.
int SyncFile(FILE* file);

// Gives a completely written file the sender's modification time (seconds
// since 1970) and, where the system has them, its permission bits less
// those the umask withholds. Returns 0, or the errno of what failed.
int ApplyFileFacts(FILE* file, int64_t mtime, uint32_t mode);

// Moves a received file whose data is on the disk into place, replacing any
// file of that name only now, and closes it. Returns 0, or the errno of
// what failed.
int StoreFile(ReceivedFile* received, const char* name);

// Drops a partly received file.
void DiscardFile(ReceivedFile* received);

// open(2) of a path in the system's encoding or, on Windows, in UTF-8 when
// it is valid UTF-8 (as ListFolderToSend gives them); -1 with errno set.
int OpenByPath(const char* path, int flags);

// ---- folders and kept parts, between velcots ----

// A folder under the receiving folder, walked to without following links.
struct StoreFolder {
  std::string path;  // as received: "" for the receiving folder, else ending in '/'
  int fd = -1;       // its descriptor on POSIX systems; -1: the receiving folder
};

// Checks a received path and opens the folder its item goes in (a folder
// item's own), creating what is missing with mode 0700, one level at a time
// without following links, nor going outside the receiving folder; on
// Linux through openat2 where the kernel has it (unless try_openat2 is
// false). *leaf is the file's name in that folder, empty for a folder
// item. False after reporting why the item cannot be stored.
bool OpenItemFolder(const char* name, StoreFolder* folder, std::string* leaf,
                    bool try_openat2 = true);
void CloseItemFolder(StoreFolder* folder);

// OpenFileToStore in a folder. False after reporting why the file cannot
// be stored.
bool OpenFileToStoreIn(const StoreFolder& folder, const char* leaf, ReceivedFile* received);

// OpenFileToStoreIn into the kept part for a file of this name (its whole
// path), size and time, which stays when the file is cut off and KeepPart
// keeps it. The part is this receiver's alone while it is open (locked;
// made owner-only, it gets the file's mode only when stored). The part
// found there is written on from its end when it holds from KEPT_PART_MIN
// bytes up to size: *length tells its length and *crc the CRC-32 of its
// bytes, read back; else both are 0 and it starts anew. Parts of the name
// with another size or time are removed. A part that is not a plain file
// with one link is removed, or left alone if it is another user's; where
// the part is another receiver's (held, or another user's), the file goes
// into a temporary file of this receiver's own, which no cut keeps.
bool OpenKeptPartIn(const StoreFolder& folder, const char* leaf, const char* name, uint64_t size,
                    int64_t mtime, ReceivedFile* received, uint64_t* length, uint32_t* crc);

// StoreFile and DiscardFile in a folder. What is moved into place is the
// file written, never another put under its temporary name. StoreFileIn
// also removes every kept part of the name that no other receiver holds.
int StoreFileIn(const StoreFolder& folder, ReceivedFile* received, const char* leaf);
void DiscardFileIn(const StoreFolder& folder, ReceivedFile* received);

// Cuts a file being received to length and writes on from there; 0, or the
// errno of what failed.
int CutFile(FILE* file, uint64_t length);

// A received file cut off: from KEPT_PART_MIN bytes on, its kept part is
// cut to the bytes stored (written and proved, no more), put on the disk
// and closed, and the folder's parts pruned; below, or for a file that is
// no kept part, it is removed. 0, or the errno of what failed (the part
// then removed too, unless it could only not be closed).
#define KEPT_PART_MIN 4096
int KeepPart(const StoreFolder& folder, ReceivedFile* received, uint64_t stored, int64_t now);

// The bounds on kept parts: one per name, none older than a week (by its
// last write), at most KEPT_PARTS_MAX in a folder, the oldest removed first;
// except, if named, is kept and counted. A part another receiver holds, or
// another user's, is left; a link is removed, never followed.
#define KEPT_PARTS_MAX 8
#define KEPT_PART_DAYS 7
void PruneKeptParts(const StoreFolder& folder, int64_t now, const std::string& except);

// Gives a folder item's folder its time and mode (less the umask; Windows
// keeps no modes), after its contents. 0, or the errno of what failed.
int ApplyFolderFacts(const StoreFolder& folder, int64_t mtime, uint32_t mode);

// What a sender sends of a folder given to it.
struct SendItem {
  std::string path;  // where it is read (on Windows in UTF-8)
  std::string name;  // sent as: UTF-8, '/' between parts, a folder's ending in '/'
  bool folder;
  int64_t mtime;
  uint32_t mode;
};

// True for a folder given to the sender (a link to one included).
bool IsFolder(const char* path);

// Appends the items of the folder at path: its regular files and folders,
// found without following links, depth first, each folder's entries in the
// byte order of their names and its own item after them, named from the
// folder's own name on (for ".", ".." or a trailing '/', the name of its
// real path). What is not sent is reported. False, after reporting it,
// when the folder itself cannot be sent; *whole, if given, is set false
// when anything under it is not sent.
bool ListFolderToSend(const char* path, std::vector<SendItem>* items, bool* whole = nullptr);

#endif
