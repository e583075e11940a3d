// Files that hold private keys, and the directory they live in. On POSIX the
// file is mode 0600 and the directory 0700; on Windows both carry a protected
// ACL that grants only the current user, the Administrators group and
// SYSTEM. Results: 0 done, -1 failed (errno or the Windows error is left as
// the call set it).
#pragma once

#include <cstddef>
#include <span>

enum class FileAccess {
  kOwnerOnly,  // keys: readable by the owner (and administrators) alone
  kReadable,   // certificates anyone may read
};

// Writes data to path as a whole. On POSIX through a temporary file in the
// same directory renamed over path, so a reader sees the old file or the new
// one, never half of either. On Windows the file is rewritten in place (a
// standard user may own files in a folder in which it may not create new
// ones, such as the program's own folder under Program Files).
[[nodiscard]] int PlatformWriteFile(const char* path, std::span<const char> data,
                                    FileAccess access);

// Makes the directory (one level) for key files when it does not exist;
// owner-only as above. An existing directory is left as it is. Returns 0 when
// the directory exists afterwards.
[[nodiscard]] int PlatformMakePrivateDir(const char* path);

// True when a file or directory exists at path.
[[nodiscard]] bool PlatformPathExists(const char* path);

// Removes the file; 0 when it is gone afterwards (also when it never was).
[[nodiscard]] int PlatformRemoveFile(const char* path);
