// Names: the 8.3 name field the sender builds from any path, and the checks
// and escaping the receiver applies to any name it is sent.
#include <cstring>
#include <memory>
#include <string>

#include "files/names.h"
#include "fuzz_util.h"
#include "run/transfer.h"

namespace {

// A name the receiver would store stays in its folder, and the name it
// shows is printable and, lacking backslashes of its own, tells the bytes.
void CheckReceivedName(const char* name) {
  std::string shown = EscapeFileName(name);
  for (char c : shown)
    FUZZ_REQUIRE(c >= 0x20 && c < 0x7F);
  if (!IsPlainFileName(name)) return;
  FUZZ_REQUIRE(FindBaseName(name) == name);
  FUZZ_REQUIRE(strcmp(name, ".") != 0 && strcmp(name, "..") != 0 && name[0] != '\0');
  FUZZ_REQUIRE(!IsWindowsDeviceName(name));
  std::string decoded;
  for (size_t i = 0; i < shown.size(); i++) {
    if (shown[i] == '\\') {
      decoded += char(std::stoi(shown.substr(i + 2, 2), nullptr, 16));
      i += 3;
    } else {
      decoded += shown[i];
    }
  }
  FUZZ_REQUIRE_EQ(decoded, std::string(name), shown);
}

// The field holds [^.]{0,8}(\.[^.]{0,3})? and then only NUL bytes.
void CheckFieldShape(const char* field) {
  size_t length = strnlen(field, kNameFieldSize);
  for (size_t i = length; i < kNameFieldSize; i++)
    FUZZ_REQUIRE(field[i] == '\0');
  const char* dot = static_cast<const char*>(memchr(field, '.', length));
  size_t base = dot != nullptr ? size_t(dot - field) : length;
  FUZZ_REQUIRE(base <= 8);
  if (dot == nullptr) return;
  FUZZ_REQUIRE(length - base - 1 <= 3);
  FUZZ_REQUIRE(memchr(dot + 1, '.', length - base - 1) == nullptr);
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  std::unique_ptr<char[]> path(new char[size + 1]);
  memcpy(path.get(), data, size);
  path[size] = '\0';
  const char* base = FindBaseName(path.get());
#ifdef _WIN32
  FUZZ_REQUIRE(strpbrk(base, "/\\:") == nullptr);
#else
  FUZZ_REQUIRE(strchr(base, '/') == nullptr);
#endif

  // Exactly the field's size, so a byte written past it is caught.
  std::unique_ptr<char[]> field(new char[kNameFieldSize]);
  memset(field.get(), '#', kNameFieldSize);
  int shortened = TruncFilename8Dot3(base, field.get(), kNameFieldSize);
  CheckFieldShape(field.get());
  size_t length = strnlen(field.get(), kNameFieldSize);
  bool changed = length != strlen(base) || memcmp(field.get(), base, length) != 0;
  FUZZ_REQUIRE_EQ(shortened, int(changed), std::string(base));

  // What a receiver makes of the field, and of the whole input as a name.
  char received[kNameFieldSize + 1];
  memcpy(received, field.get(), kNameFieldSize);
  received[kNameFieldSize] = '\0';
  CheckReceivedName(received);
  CheckReceivedName(path.get());
  return 0;
}
