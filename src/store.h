// store: a received file is written to a temporary file, anonymous where
// the system allows, and moved into place only once it is complete, so an
// old file stands until then.
#ifndef VELCOT_STORE_H
#define VELCOT_STORE_H

#include <cstdio>
#include <string>

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

// Drops a partly received file, keeping errno for the driver.
void DiscardFile(FILE* file, const std::string& temp_name);

#endif
