#include "base/escape.h"

#include <algorithm>
#include <cstdint>
#include <cstdio>

static void AppendEscaped(std::string* shown, const unsigned char* bytes, int count) {
  for (int i = 0; i < count; i++) {
    char hex[5];
    snprintf(hex, sizeof hex, "\\x%02X", bytes[i]);
    *shown += hex;
  }
}

std::string EscapeFileName(const char* name) {
  std::string shown;
  for (const unsigned char* p = reinterpret_cast<const unsigned char*>(name); *p; p++) {
    if (*p >= 0x20 && *p < 0x7F) {
      shown += char(*p);
    } else {
      AppendEscaped(&shown, p, 1);
    }
  }
  return shown;
}

// The length of the valid UTF-8 character at p, or 0: no overlong forms,
// no surrogates, nothing above U+10FFFF.
static int MeasureUtf8Character(const unsigned char* p) {
  int length = *p < 0x80 ? 1 : *p < 0xC2 ? 0 : *p < 0xE0 ? 2 : *p < 0xF0 ? 3 : *p < 0xF5 ? 4 : 0;
  unsigned char low = 0x80, high = 0xBF;  // the range of the second byte
  if (*p == 0xE0) low = 0xA0;
  if (*p == 0xED) high = 0x9F;
  if (*p == 0xF0) low = 0x90;
  if (*p == 0xF4) high = 0x8F;
  for (int i = 1; i < length; i++) {
    if (p[i] < (i == 1 ? low : 0x80) || p[i] > (i == 1 ? high : 0xBF)) return 0;
  }
  return length;
}

// The character of length bytes at p, a valid UTF-8 one.
static uint32_t DecodeUtf8Character(const unsigned char* p, int length) {
  static const unsigned char kLeadBits[] = {0, 0x7F, 0x1F, 0x0F, 0x07};
  uint32_t c = p[0] & kLeadBits[length];
  for (int i = 1; i < length; i++)
    c = c << 6 | (p[i] & 0x3F);
  return c;
}

// Controls, C1 controls, and the characters that make a terminal reorder
// what follows on the line (the bidirectional formatting ones: U+061C,
// U+200E, U+200F, U+202A to U+202E, U+2066 to U+2069) or break it (U+2028,
// U+2029): with those a name could make a message say another name.
static bool IsActedOn(uint32_t c) {
  return c < 0x20 || c == 0x7F || (c >= 0x80 && c <= 0x9F) || c == 0x061C || c == 0x200E ||
         c == 0x200F || (c >= 0x2028 && c <= 0x202E) || (c >= 0x2066 && c <= 0x2069);
}

std::string EscapeForTerminal(const char* name, bool utf8) {
  std::string shown;
  for (const unsigned char* p = reinterpret_cast<const unsigned char*>(name); *p;) {
    int length = utf8 ? MeasureUtf8Character(p) : 1;
    if (length == 0 || IsActedOn(utf8 ? DecodeUtf8Character(p, length) : *p)) {
      length = std::max(length, 1);
      AppendEscaped(&shown, p, length);
    } else {
      shown.append(reinterpret_cast<const char*>(p), size_t(length));
    }
    p += length;
  }
  return shown;
}

bool IsValidUtf8(const char* text) {
  for (const unsigned char* p = reinterpret_cast<const unsigned char*>(text); *p;) {
    int length = MeasureUtf8Character(p);
    if (length == 0) return false;
    p += length;
  }
  return true;
}

bool HasNoC1Controls(const char* utf8) {
  for (const unsigned char* p = reinterpret_cast<const unsigned char*>(utf8); *p; p++) {
    if (p[0] == 0xC2 && p[1] >= 0x80 && p[1] <= 0x9F) return false;
  }
  return true;
}
