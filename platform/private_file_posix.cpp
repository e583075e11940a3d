// POSIX forms of the calls of private_file.h.
#include <errno.h>
#include <fcntl.h>
#include <stdio.h>
#include <sys/stat.h>
#include <unistd.h>

#include "platform/private_file.h"

namespace {

bool WriteAll(int fd, std::span<const char> data) {
  size_t done = 0;
  while (done < data.size()) {
    ssize_t n = write(fd, data.data() + done, data.size() - done);
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) return false;
    done += static_cast<size_t>(n);
  }
  return true;
}

}  // namespace

int PlatformWriteFile(const char* path, std::span<const char> data, FileAccess access) {
  if (path == nullptr) return -1;
  char temp[4096];
  if (snprintf(temp, sizeof temp, "%s.tmp-%d", path, static_cast<int>(getpid())) >=
      static_cast<int>(sizeof temp))
    return -1;
  const mode_t mode = access == FileAccess::kOwnerOnly ? 0600 : 0644;
  unlink(temp);  // a leftover of a process that died with this id
  // O_EXCL: never write through a link someone planted under the temporary name.
  int fd = open(temp, O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, mode);
  if (fd < 0) return -1;
  // The umask may have taken bits away from a certificate; never adds any.
  bool ok = fchmod(fd, mode) == 0 && WriteAll(fd, data) && fsync(fd) == 0;
  ok = close(fd) == 0 && ok;
  if (!ok || rename(temp, path) != 0) {
    unlink(temp);
    return -1;
  }
  return 0;
}

int PlatformMakePrivateDir(const char* path) {
  if (path == nullptr) return -1;
  if (mkdir(path, 0700) == 0 || errno == EEXIST) {
    struct stat st;
    return stat(path, &st) == 0 && S_ISDIR(st.st_mode) ? 0 : -1;
  }
  return -1;
}

bool PlatformPathExists(const char* path) {
  struct stat st;
  return path != nullptr && stat(path, &st) == 0;
}

int PlatformRemoveFile(const char* path) {
  if (path == nullptr) return -1;
  return unlink(path) == 0 || errno == ENOENT ? 0 : -1;
}
