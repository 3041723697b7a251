#include "files/names.h"

#include <algorithm>
#ifdef _WIN32
#include <windows.h>
#endif

#include <cctype>
#include <cstdio>
#include <cstring>

int TruncFilename8Dot3(const char* source, char* destination, uint16_t length) {
  uint16_t out = 0;
  int shortened = 0;
  const char* p = source;
  while (out < 8 && *p != '\0' && *p != '.')
    destination[out++] = *p++;
  if (*p == '\0') {
    memset(destination + out, 0, length - out);
    return 0;
  }
  if (*p != '.') {
    shortened = 1;
    while (*p != '\0' && *p != '.')
      p++;
  }
  if (*p == '.') {
    destination[out++] = '.';
    p++;
  }
  for (int copied = 0; copied < 3 && *p != '\0' && *p != '.'; copied++) {
    destination[out++] = *p++;
  }
  if (*p != '\0') shortened = 1;
  memset(destination + out, 0, length - out);
  return shortened;
}

const char* FindBaseName(const char* path) {
  const char* base = path;
  for (const char* p = path; *p != '\0'; p++) {
#ifdef _WIN32
    if (*p == '/' || *p == '\\' || *p == ':') base = p + 1;
#else
    if (*p == '/') base = p + 1;
#endif
  }
  return base;
}

bool IsWindowsDeviceName(const char* name) {
  // Windows ignores an extension and trailing blanks here: "nul.txt" and
  // "CON " are devices too.
  size_t length = strcspn(name, ".");
  while (length > 0 && name[length - 1] == ' ')
    length--;
  char base[8] = "";
  if (length < 3 || length >= sizeof base) return false;
  for (size_t i = 0; i < length; i++)
    base[i] = char(toupper(static_cast<unsigned char>(name[i])));
  base[length] = '\0';
  static const char* const kDevices[] = {"CON", "PRN", "AUX", "NUL", "CONIN$", "CONOUT$"};
  for (const char* device : kDevices) {
    if (strcmp(base, device) == 0) return true;
  }
  if (strncmp(base, "COM", 3) != 0 && strncmp(base, "LPT", 3) != 0) return false;
  // A digit, or a superscript 1, 2 or 3 in Windows-1252 or in UTF-8.
  const char* unit = base + 3;
  if (length == 4)
    return (*unit >= '0' && *unit <= '9') || strchr("\xB9\xB2\xB3", *unit) != nullptr;
  return length == 5 && unit[0] == '\xC2' && strchr("\xB9\xB2\xB3", unit[1]) != nullptr;
}

// True when text begins (at_end: ends) with piece, letters in any case.
static bool HasPieceInAnyCase(const char* text, const char* piece, bool at_end) {
  size_t length = strlen(text), piece_length = strlen(piece);
  if (length < piece_length) return false;
  const char* at = at_end ? text + length - piece_length : text;
  for (size_t i = 0; i < piece_length; i++) {
    if (tolower(static_cast<unsigned char>(at[i])) != piece[i]) return false;
  }
  return true;
}

bool IsTempFileName(const char* name) {
  return HasPieceInAnyCase(name, TEMP_NAME_PREFIX, false) &&
         HasPieceInAnyCase(name, TEMP_NAME_SUFFIX, true);
}

bool IsPlainFileName(const char* name) {
  // Windows drops trailing dots and blanks, so "a." and "a " would land on
  // "a" there; refused on every system, every receiver stores the same
  // names. This covers names of dots alone too ("." "..", "...").
  size_t length = strlen(name);
  if (length == 0 || name[length - 1] == '.' || name[length - 1] == ' ') return false;
  // A received file must never take the place of the one being received.
  if (IsTempFileName(name)) return false;
  for (const unsigned char* p = reinterpret_cast<const unsigned char*>(name); *p; p++) {
    if (*p < 0x20 || *p == 0x7F || *p == '/' || *p == '\\' || *p == ':') return false;
#ifdef _WIN32
    // Not allowed in a Windows file name; '?' and '*' would be patterns.
    if (strchr("<>\"|?*", *p) != nullptr) return false;
#endif
  }
  // Stored on any system, such a name would be a device once the file is
  // copied to Windows; on Windows it would be written to the device.
  return !IsWindowsDeviceName(name);
}

bool SplitReceivedPath(const char* name, ReceivedPath* path) {
  path->parts.clear();
  size_t length = strlen(name);
  if (length > RECEIVED_PATH_MAX || !IsValidUtf8(name) || !HasNoC1Controls(name)) return false;
  path->folder = length > 0 && name[length - 1] == '/';
  // Every part ends at a '/' or at the end; a trailing '/' ends the last.
  for (const char* part = name; part < name + length;) {
    const char* end = strchr(part, '/');
    if (end == nullptr) end = name + length;
    path->parts.emplace_back(part, end);
    // IsPlainFileName refuses an empty part, "." and "..", as any name of
    // dots alone, and '\' and ':', so drive letters and UNC names too.
    const std::string& added = path->parts.back();
    if (added.size() > PATH_PART_MAX || !IsPlainFileName(added.c_str())) return false;
    part = end + 1;
  }
  return !path->parts.empty();
}

uint64_t HashReceivedPath(const char* name) {
  uint64_t hash = 0xCBF29CE484222325u;  // FNV-1a, 64 bits
  for (const unsigned char* p = reinterpret_cast<const unsigned char*>(name); *p; p++)
    hash = (hash ^ *p) * 0x100000001B3u;
  return hash;
}

static void AppendHex(std::string* text, uint64_t value) {
  for (int shift = 60; shift >= 0; shift -= 4)
    *text += "0123456789abcdef"[(value >> shift) & 0xF];
}

std::string FormKeptPartName(const char* name, uint64_t size, int64_t mtime) {
  std::string part = TEMP_NAME_PREFIX;
  AppendHex(&part, HashReceivedPath(name));
  part += '-';
  AppendHex(&part, size);
  part += '-';
  AppendHex(&part, uint64_t(mtime));
  return part + TEMP_NAME_SUFFIX;
}

// Reads 16 hex digits; false if they are not.
static bool ReadHex(const char* text, uint64_t* value) {
  *value = 0;
  for (int i = 0; i < 16; i++) {
    const char* digit = strchr("0123456789abcdef", text[i]);
    if (text[i] == '\0' || digit == nullptr) return false;
    *value = *value << 4 | uint64_t(digit - "0123456789abcdef");
  }
  return true;
}

bool ReadKeptPartName(const char* part_name, uint64_t* hash, uint64_t* size, int64_t* mtime) {
  const size_t kPrefix = sizeof TEMP_NAME_PREFIX - 1, kLength = kPrefix + 3 * 17 + 4;
  uint64_t time = 0;
  bool read = strlen(part_name) == kLength && IsTempFileName(part_name) &&
              ReadHex(part_name + kPrefix, hash) && part_name[kPrefix + 16] == '-' &&
              ReadHex(part_name + kPrefix + 17, size) && part_name[kPrefix + 33] == '-' &&
              ReadHex(part_name + kPrefix + 34, &time);
  *mtime = int64_t(time);
  return read;
}

#ifdef _WIN32
std::string ConvertNameToUtf8(const char* name) {
  int wide_length = MultiByteToWideChar(CP_ACP, 0, name, -1, nullptr, 0);
  if (wide_length <= 0) return "";
  std::wstring wide(size_t(wide_length), L'\0');
  MultiByteToWideChar(CP_ACP, 0, name, -1, &wide[0], wide_length);
  int length = WideCharToMultiByte(CP_UTF8, 0, wide.c_str(), -1, nullptr, 0, nullptr, nullptr);
  if (length <= 0) return "";
  std::string utf8(size_t(length), '\0');
  WideCharToMultiByte(CP_UTF8, 0, wide.c_str(), -1, &utf8[0], length, nullptr, nullptr);
  utf8.resize(size_t(length - 1));
  return utf8;
}
#else
std::string ConvertNameToUtf8(const char* name) {
  if (IsValidUtf8(name)) return name;
  std::string utf8;
  for (const unsigned char* p = reinterpret_cast<const unsigned char*>(name); *p; p++) {
    if (*p < 0x80) {
      utf8 += char(*p);
    } else {
      utf8 += char(0xC0 | *p >> 6);
      utf8 += char(0x80 | (*p & 0x3F));
    }
  }
  return utf8;
}
#endif

bool ParseExistingFile(const char* text, ExistingFile* existing) {
  static const struct {
    const char* name;
    ExistingFile existing;
  } kChoices[] = {{"replace", ExistingFile::kReplace},
                  {"keep", ExistingFile::kKeep},
                  {"rename", ExistingFile::kRename}};
  for (const auto& choice : kChoices) {
    if (text == nullptr || strcmp(text, choice.name) == 0) {
      *existing = text == nullptr ? ExistingFile::kReplace : choice.existing;
      return true;
    }
  }
  return false;
}

std::string FormCopyName(const std::string& name, unsigned n) {
  return name + "." + std::to_string(n);
}
