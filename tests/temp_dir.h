// Temporary files of the tests, the same on POSIX and Windows: a directory of
// the test's own under the system's temporary directory, removed with all it
// holds when its owner goes out of scope, and paths spelt with the platform's
// separator.
#pragma once

#include <atomic>
#include <filesystem>
#include <string>
#include <system_error>

#include "platform/platform.h"

namespace testutil {

// A fresh, empty directory; path() is empty when none could be made.
class TempDir {
 public:
  explicit TempDir(const std::string& prefix) {
    static std::atomic<int> counter{0};
    std::error_code ec;
    const std::filesystem::path base = std::filesystem::temp_directory_path(ec);
    if (ec) return;
    for (int attempt = 0; attempt < 100; attempt++) {
      std::filesystem::path p =
          base / (prefix + std::to_string(PlatformProcessId()) + "-" + std::to_string(counter++));
      if (std::filesystem::create_directory(p, ec)) {
        path_ = p.string();
        return;
      }
    }
  }
  ~TempDir() {
    std::error_code ec;
    if (!path_.empty()) std::filesystem::remove_all(path_, ec);
  }
  TempDir(const TempDir&) = delete;
  TempDir& operator=(const TempDir&) = delete;

  const std::string& path() const { return path_; }
  // The path of a file named name inside the directory.
  std::string File(const std::string& name) const {
    return (std::filesystem::path(path_) / name).string();
  }

 private:
  std::string path_;
};

// A POSIX-style path ("/opt/x/y") with the platform's separator.
inline std::string NativePath(std::string path) {
  for (char& c : path) {
    if (c == '/') c = kPathSeparator;
  }
  return path;
}

}  // namespace testutil
