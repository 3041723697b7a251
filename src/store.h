// store: the files at either end. The file to send is opened for reading
// without waiting; a received file is written to a temporary file,
// anonymous where the system allows, and moved into place only once it is
// complete, so an old file stands until then.
#ifndef VELCOT_STORE_H
#define VELCOT_STORE_H

#include <cstdint>
#include <cstdio>
#include <string>

// On Windows a received name is taken as UTF-8 when it is valid UTF-8 (as
// the streaming exchange sends every name), and in the ANSI code page
// otherwise (as a classic Windows sender writes it).

// Opens a file to send and finds its size, before anything about it goes
// on the line, so that a file that cannot be sent is skipped without
// leaving the receiver waiting. nullptr after reporting why not.
FILE* OpenFileToSend(const char* path, uint64_t* size);

// A file being received: the temporary file that becomes it once complete.
struct ReceivedFile {
  FILE* file;
  std::string temp_name;  // empty for an anonymous file
};

// Why a file to send yielded fewer bytes than asked: kEndedEarly when it
// ended first (it shrank, or changed while it was sent), or the errno of
// the read that failed.
constexpr int kEndedEarly = -1;

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

#endif
