// Files and folders as the tests see them, for every kind of test: whole
// contents, and the names in a folder.
#ifndef VELCOT_TESTS_FILE_UTIL_H
#define VELCOT_TESTS_FILE_UTIL_H

#include <algorithm>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <string>
#include <vector>

// The whole content of a file; *ok (if given) tells whether it could be read.
inline std::string ReadWholeFile(const std::string& path, bool* ok = nullptr) {
  std::ifstream file(path, std::ios::binary);
  std::string content((std::istreambuf_iterator<char>(file)), std::istreambuf_iterator<char>());
  if (ok != nullptr) *ok = file.is_open() && !file.bad();
  return content;
}

// Creates or replaces a file; true on success.
inline bool WriteWholeFile(const std::string& path, const std::string& content) {
  std::ofstream file(path, std::ios::binary | std::ios::trunc);
  file.write(content.data(), std::streamsize(content.size()));
  file.close();
  return !file.fail();
}

// The sorted names in a folder, without "." and "..".
inline std::vector<std::string> ListDirectory(const std::string& path) {
  std::vector<std::string> names;
  std::error_code error;
  for (const auto& entry : std::filesystem::directory_iterator(path, error))
    names.push_back(entry.path().filename().string());
  std::sort(names.begin(), names.end());
  return names;
}

// A receiver's kept part of a file cut off: .velcot-HASH-SIZE-TIME.part,
// each field 16 hex digits.
inline bool IsKeptPartName(const std::string& name) {
  return name.size() == 63 && name.rfind(".velcot-", 0) == 0 && name[24] == '-' &&
         name[41] == '-' && name.compare(58, 5, ".part") == 0;
}

// The names in a folder that are kept parts (parts), or the others.
inline std::vector<std::string> ListKeptParts(const std::string& path, bool parts = true) {
  std::vector<std::string> names = ListDirectory(path);
  names.erase(
      std::remove_if(names.begin(), names.end(),
                     [&](const std::string& name) { return IsKeptPartName(name) != parts; }),
      names.end());
  return names;
}

#endif
