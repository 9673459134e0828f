// A test's own folder and environment variables, put back as they were when the test ends.
#pragma once

#include <gtest/gtest.h>

#include <stdlib.h>

#include <filesystem>
#include <fstream>
#include <optional>
#include <string>

// A new empty folder, removed with everything in it at the end.
class TempFolder {
public:
  TempFolder() {
    std::string pattern = (std::filesystem::temp_directory_path() / "qxtest.XXXXXX").string();
    if (mkdtemp(pattern.data()) == nullptr) ADD_FAILURE() << "cannot create a temporary folder";
    m_Path = pattern;
  }
  ~TempFolder() {
    std::error_code ignored;
    std::filesystem::remove_all(m_Path, ignored);
  }
  TempFolder(const TempFolder&) = delete;
  TempFolder& operator=(const TempFolder&) = delete;

  const std::filesystem::path& Path() const { return m_Path; }
  std::string operator/(const std::string& name) const { return (m_Path / name).string(); }

private:
  std::filesystem::path m_Path;
};

// Sets (or, with null, removes) an environment variable for the object's lifetime.
class ScopedVariable {
public:
  ScopedVariable(const char* name, const char* value) : m_Name(name) {
    if (const char* old = getenv(name)) m_Old = old;
    if (value) {
      setenv(name, value, 1);
    } else {
      unsetenv(name);
    }
  }
  ScopedVariable(const char* name, const std::string& value) : ScopedVariable(name, value.c_str()) {}
  ~ScopedVariable() {
    if (m_Old) {
      setenv(m_Name.c_str(), m_Old->c_str(), 1);
    } else {
      unsetenv(m_Name.c_str());
    }
  }
  ScopedVariable(const ScopedVariable&) = delete;
  ScopedVariable& operator=(const ScopedVariable&) = delete;

private:
  std::string m_Name;
  std::optional<std::string> m_Old;
};

// A file's bytes; empty when it cannot be read.
inline std::string FileBytes(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  return std::string(std::istreambuf_iterator<char>(in), {});
}

inline void PutFile(const std::string& path, const std::string& bytes) {
  std::ofstream(path, std::ios::binary) << bytes;
}
