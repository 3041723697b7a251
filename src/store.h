// store: a received file is written to a temporary file, anonymous where
// the system allows, and moved into place only once it is complete, so an
// old file stands until then.
#ifndef VELCOT_STORE_H
#define VELCOT_STORE_H

#include <cstdint>
#include <cstdio>
#include <string>

// On Windows a received name is taken as UTF-8 when it is valid UTF-8 (as
// the streaming exchange sends every name), and in the ANSI code page
// otherwise (as a classic Windows sender writes it).

// Checks the received name and opens the temporary file that will become
// it; temp_name is its name, empty for an anonymous file. Returns nullptr
// after reporting why the file cannot be stored.
FILE* OpenFileToStore(const char* name, std::string* temp_name);

// Puts a completely received file's data on the disk; 0, or the errno of
// what failed.
int SyncFile(FILE* file);

// Moves a received file whose data is on the disk into place, replacing any
// file of that name only now, and closes it. Returns 0, or the errno of
// what failed.
int StoreFile(FILE* file, const std::string& temp_name, const char* name);

// Gives a completely written file the sender's modification time (seconds
// since 1970) and, where the system has them, its permission bits less
// those the umask withholds. Returns 0, or the errno of what failed.
int ApplyFileFacts(FILE* file, int64_t mtime, uint32_t mode);

// Drops a partly received file, keeping errno for the driver.
void DiscardFile(FILE* file, const std::string& temp_name);

#endif
