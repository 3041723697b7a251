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

// A receiver's kept part of a file cut off: .velcot-, three fields of 16
// hex digits joined by '-', .part.
inline bool IsKeptPartName(const std::string& name) {
  const std::string prefix = ".velcot-", suffix = ".part";
  if (name.size() != prefix.size() + 3 * 17 - 1 + suffix.size() || name.rfind(prefix, 0) != 0 ||
      name.compare(name.size() - suffix.size(), suffix.size(), suffix) != 0) {
    return false;
  }
  for (size_t i = 0; i < 3 * 17 - 1; i++) {
    char c = name[prefix.size() + i];
    if (i % 17 == 16 ? c != '-' : !isxdigit(static_cast<unsigned char>(c))) return false;
  }
  return true;
}

// The kept parts in a folder, sorted.
inline std::vector<std::string> ListKeptParts(const std::string& path) {
  std::vector<std::string> parts = ListDirectory(path);
  parts.erase(std::remove_if(parts.begin(), parts.end(),
                             [](const std::string& name) { return !IsKeptPartName(name); }),
              parts.end());
  return parts;
}

// The names in a folder but its kept parts.
inline std::vector<std::string> ListStoredFiles(const std::string& path) {
  std::vector<std::string> names = ListDirectory(path);
  names.erase(std::remove_if(names.begin(), names.end(), IsKeptPartName), names.end());
  return names;
}

#endif
