// The command line: NUL-separated arguments after the program name, through
// the parser, the checks that follow it and the mode string's parser.
#include <cctype>
#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <vector>

#include "fuzz_util.h"
#include "ports/commdev.h"
#include "velcot.h"

namespace {

// The C library's strtoul in base 0, held to 32 bits the way a 32-bit
// unsigned long holds it: a magnitude that does not fit gives the maximum,
// a minus sign negates modulo 2^32.
uint32_t ReferenceBaudrate(const char* text) {
  errno = 0;
  unsigned long value = strtoul(text, nullptr, 0);
  if (errno == ERANGE) return UINT32_MAX;
  const char* p = text;
  while (isspace(static_cast<unsigned char>(*p)))
    p++;
  unsigned long magnitude = *p == '-' ? 0ul - value : value;
  return magnitude > UINT32_MAX ? UINT32_MAX : uint32_t(value);
}

// What the parser takes as an option: a '-' and a letter or '?', "--" and
// a word, or "--" itself.
bool IsOption(const char* arg) {
  return arg[0] == '-' &&
         (isalpha(static_cast<unsigned char>(arg[1])) || arg[1] == '?' || arg[1] == '-');
}

void CheckLineMode(const char* mode) {
  LineFormat format;
  if (!ParseLineMode(mode, &format)) return;
  FUZZ_REQUIRE(strlen(mode) == 3);
  FUZZ_REQUIRE(format.data_bits == static_cast<unsigned char>(mode[0] - '0'));
  FUZZ_REQUIRE(format.parity == 'N' || format.parity == 'O' || format.parity == 'E');
  FUZZ_REQUIRE(format.parity == toupper(static_cast<unsigned char>(mode[1])));
  FUZZ_REQUIRE(format.stop_bits == mode[2] - '0');
  FUZZ_REQUIRE(format.stop_bits == 1 || format.stop_bits == 2);
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  // Each argument in an allocation of its own size, so reading past its
  // end is caught.
  std::vector<std::unique_ptr<char[]>> storage;
  storage.emplace_back(new char[7]);
  memcpy(storage.back().get(), "velcot", 7);
  for (size_t start = 0; start <= size && storage.size() < 64;) {
    const uint8_t* end = static_cast<const uint8_t*>(memchr(data + start, 0, size - start));
    size_t length = (end != nullptr ? size_t(end - data) : size) - start;
    storage.emplace_back(new char[length + 1]);
    memcpy(storage.back().get(), data + start, length);
    storage.back()[length] = '\0';
    start += length + 1;
  }
  int argc = int(storage.size());
  std::vector<char*> argv;
  for (auto& arg : storage)
    argv.push_back(arg.get());
  argv.push_back(nullptr);
  std::unique_ptr<const char*[]> files(new const char*[size_t(argc)]);
  Settings settings = {kDefaultPort, kDefaultBaudrate, kDefaultMode, files.get(), 0};

  Request request = ParseArguments(argc, argv.data(), &settings);
  bool asked = false;
  for (int i = 1; i < argc; i++) {
    asked = asked || strcmp(argv[i], "-h") == 0 || strcmp(argv[i], "-?") == 0 ||
            strcmp(argv[i], "--help") == 0 || strcmp(argv[i], "--version") == 0;
    FUZZ_REQUIRE(ParseBaudrate(argv[i]) == ReferenceBaudrate(argv[i]));
    CheckLineMode(argv[i]);
  }
  FUZZ_REQUIRE(request == Request::kRun || request == Request::kUnknownOption || asked);
  if (request != Request::kRun) return 0;

  // Files are arguments themselves, in order, and never an option but
  // after "--".
  FUZZ_REQUIRE(settings.file_count >= 0 && settings.file_count < argc);
  int next = 1;
  for (int f = 0; f < settings.file_count; f++) {
    while (next < argc && argv[next] != settings.files[f])
      next++;
    FUZZ_REQUIRE(next < argc);
    bool after_separator = false;
    for (int i = 1; i < next; i++)
      after_separator = after_separator || strcmp(argv[i], "--") == 0;
    FUZZ_REQUIRE(after_separator || !IsOption(settings.files[f]));
    next++;
  }

  const char* missing = FindMissingSetting(settings);
  if (settings.port == nullptr) {
    FUZZ_REQUIRE(missing != nullptr && strcmp(missing, "missing port name\n") == 0);
  } else if (settings.baudrate == 0) {
    FUZZ_REQUIRE(missing != nullptr && strcmp(missing, "missing baudrate\n") == 0);
  } else if (settings.mode == nullptr) {
    FUZZ_REQUIRE(missing != nullptr && strcmp(missing, "missing mode string\n") == 0);
  } else {
    FUZZ_REQUIRE(missing == nullptr);
  }
  LineControl control;
  FUZZ_REQUIRE(missing == nullptr || FindBadSetting(settings, &control).size() >= strlen(missing));
  return 0;
}
