// Win32 forms of the calls of private_file.h.
#include <windows.h>
// After windows.h.
#include <aclapi.h>
#include <sddl.h>

#include <memory>

#include "platform/private_file.h"

namespace {

constexpr int kWidePathChars = 1024;

struct LocalFreeDeleter {
  void operator()(void* p) const { LocalFree(p); }
};
using LocalBlock = std::unique_ptr<void, LocalFreeDeleter>;

bool Widen(const char* path, wchar_t* out) {
  return path != nullptr && MultiByteToWideChar(CP_ACP, 0, path, -1, out, kWidePathChars) > 0;
}

// "D:P(A;OICI;FA;;;<user>)(A;OICI;FA;;;BA)(A;OICI;FA;;;SY)": a protected DACL
// (nothing inherited from the folder, where Users may read) with full access
// for the current user, the Administrators and SYSTEM only.
LocalBlock OwnerOnlyDescriptor() {
  HANDLE token = nullptr;
  if (!OpenProcessToken(GetCurrentProcess(), TOKEN_QUERY, &token)) return nullptr;
  unsigned char buffer[256];
  DWORD got = 0;
  BOOL ok = GetTokenInformation(token, TokenUser, buffer, sizeof buffer, &got);
  CloseHandle(token);
  if (!ok) return nullptr;
  wchar_t* sid_text = nullptr;
  if (!ConvertSidToStringSidW(reinterpret_cast<TOKEN_USER*>(buffer)->User.Sid, &sid_text))
    return nullptr;
  LocalBlock sid_owner(sid_text);
  wchar_t sddl[512];
  _snwprintf(sddl, 512, L"D:P(A;OICI;FA;;;%ls)(A;OICI;FA;;;BA)(A;OICI;FA;;;SY)", sid_text);
  sddl[511] = L'\0';
  PSECURITY_DESCRIPTOR sd = nullptr;
  if (!ConvertStringSecurityDescriptorToSecurityDescriptorW(sddl, SDDL_REVISION_1, &sd, nullptr))
    return nullptr;
  return LocalBlock(sd);
}

// Puts the descriptor's DACL on an existing file or folder (CreateFile
// ignores the attributes when it opens a file that is already there).
bool ApplyDescriptor(const wchar_t* path, PSECURITY_DESCRIPTOR sd) {
  BOOL present = FALSE, defaulted = FALSE;
  PACL dacl = nullptr;
  if (!GetSecurityDescriptorDacl(sd, &present, &dacl, &defaulted) || !present) return false;
  return SetNamedSecurityInfoW(const_cast<wchar_t*>(path), SE_FILE_OBJECT,
                               DACL_SECURITY_INFORMATION | PROTECTED_DACL_SECURITY_INFORMATION,
                               nullptr, nullptr, dacl, nullptr) == ERROR_SUCCESS;
}

}  // namespace

int PlatformWriteFile(const char* path, std::span<const char> data, FileAccess access) {
  wchar_t wide[kWidePathChars];
  if (!Widen(path, wide)) return -1;
  LocalBlock sd;
  SECURITY_ATTRIBUTES sa = {sizeof sa, nullptr, FALSE};
  if (access == FileAccess::kOwnerOnly) {
    sd = OwnerOnlyDescriptor();
    if (!sd) return -1;
    sa.lpSecurityDescriptor = sd.get();
  }
  HANDLE file =
      CreateFileW(wide, GENERIC_WRITE, 0, &sa, CREATE_ALWAYS, FILE_ATTRIBUTE_NORMAL, nullptr);
  if (file == INVALID_HANDLE_VALUE) return -1;
  bool ok = true;
  size_t done = 0;
  while (ok && done < data.size()) {
    DWORD chunk = data.size() - done > 1u << 20 ? 1u << 20 : static_cast<DWORD>(data.size() - done);
    DWORD wrote = 0;
    ok = WriteFile(file, data.data() + done, chunk, &wrote, nullptr) && wrote > 0;
    done += wrote;
  }
  ok = FlushFileBuffers(file) && ok;
  ok = CloseHandle(file) && ok;
  if (ok && sd) ok = ApplyDescriptor(wide, sd.get());
  return ok ? 0 : -1;
}

int PlatformMakePrivateDir(const char* path) {
  wchar_t wide[kWidePathChars];
  if (!Widen(path, wide)) return -1;
  LocalBlock sd = OwnerOnlyDescriptor();
  if (!sd) return -1;
  SECURITY_ATTRIBUTES sa = {sizeof sa, sd.get(), FALSE};
  if (CreateDirectoryW(wide, &sa)) return 0;
  DWORD attributes = GetFileAttributesW(wide);
  return attributes != INVALID_FILE_ATTRIBUTES && (attributes & FILE_ATTRIBUTE_DIRECTORY) ? 0 : -1;
}

bool PlatformPathExists(const char* path) {
  wchar_t wide[kWidePathChars];
  return Widen(path, wide) && GetFileAttributesW(wide) != INVALID_FILE_ATTRIBUTES;
}

int PlatformRemoveFile(const char* path) {
  wchar_t wide[kWidePathChars];
  if (!Widen(path, wide)) return -1;
  if (DeleteFileW(wide)) return 0;
  DWORD error = GetLastError();
  return error == ERROR_FILE_NOT_FOUND || error == ERROR_PATH_NOT_FOUND ? 0 : -1;
}
