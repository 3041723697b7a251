// names: the short name a file is announced under, and the rules a received
// name must pass before it is stored.
#ifndef VELCOT_NAMES_H
#define VELCOT_NAMES_H

#include <cstdint>
#include <string>
#include <vector>

#include "base/escape.h"
#include "base/wire.h"

// "replace", "keep" or "rename" (nullptr: replace); false for anything else.
bool ParseExistingFile(const char* text, ExistingFile* existing);

// The name for copy number n of name: "name.N".
std::string FormCopyName(const std::string& name, unsigned n);

// Cuts a name to 8.3 into a NUL-filled field; 1 when it had to be shortened.
int TruncFilename8Dot3(const char* source, char* destination, uint16_t length);

// The part of a path after its last directory separator: '/', and on
// Windows also '\' and a drive colon. Elsewhere those two are characters
// of a file name.
const char* FindBaseName(const char* path);

// CON, PRN, AUX, NUL, COM0-COM9, LPT0-LPT9 (with the superscript digits
// Windows also takes) and CONIN$, CONOUT$: in any case, with or without an
// extension.
bool IsWindowsDeviceName(const char* name);

// The receiver writes a file under a name of this form
// (.velcot-XXXXXXXX.part) until it is complete.
#define TEMP_NAME_PREFIX ".velcot-"
#define TEMP_NAME_SUFFIX ".part"
bool IsTempFileName(const char* name);

// A received name is stored only if it is a plain name in the current
// directory that is safe to print, names no Windows device, does not end
// in a dot or a blank (which Windows drops) and is not of the form of the
// receiver's temporary files.
bool IsPlainFileName(const char* name);

// Between velcots a received name may be a path: parts joined with '/',
// each a plain file name of at most PATH_PART_MAX bytes, at most
// RECEIVED_PATH_MAX bytes in all, never absolute, never with an empty,
// "." or ".." part; a folder's own item is named with a trailing '/'.
#define PATH_PART_MAX 255
#define RECEIVED_PATH_MAX 4095
struct ReceivedPath {
  std::vector<std::string> parts;
  bool folder;  // the name ended in '/'
};

// Splits a received path into its parts; false when a receiver refuses it:
// besides the rules above, a path must be UTF-8 without C1 controls.
bool SplitReceivedPath(const char* name, ReceivedPath* path);

// A received file cut off is kept in its folder under a name of the
// temporary files' form, so no received name can take it:
// .velcot-HHHHHHHHHHHHHHHH-SSSSSSSSSSSSSSSS-TTTTTTTTTTTTTTTT.part, with H
// the 64-bit FNV-1a hash of its whole received path, S its size and T its
// modification time, in hex.
std::string FormKeptPartName(const char* name, uint64_t size, int64_t mtime);
uint64_t HashReceivedPath(const char* name);

// Reads the hash, size and time out of a kept part's name; false for a
// name of any other form.
bool ReadKeptPartName(const char* part_name, uint64_t* hash, uint64_t* size, int64_t* mtime);

// A name in the system's own encoding as UTF-8: on Windows from the ANSI
// code page; elsewhere as it is when it is UTF-8 already, and otherwise
// read as Latin-1 (each byte one character), the legacy encoding it most
// likely is.
std::string ConvertNameToUtf8(const char* name);

#endif
