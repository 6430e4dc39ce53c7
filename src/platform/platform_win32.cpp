// Windows side of the platform layer (32-bit console program, ANSI APIs).
#include "platform/platform.h"

#include <windows.h>

#include <fcntl.h>
#include <io.h>

LeadBytes active_lead_bytes() {
  LeadBytes lead{};
  for (int b = 0; b < 256; ++b) lead[b] = IsDBCSLeadByte(static_cast<BYTE>(b)) != 0;
  return lead;
}

char native_path_separator() { return '\\'; }

std::string executable_path() {
  std::string path(MAX_PATH, '\0');
  for (;;) {
    DWORD n = GetModuleFileNameA(nullptr, path.data(), static_cast<DWORD>(path.size()));
    if (n == 0) return {};
    // A full buffer may mean a cut path: try again with more room.
    if (n < path.size()) {
      path.resize(n);
      return path;
    }
    path.resize(path.size() * 2);
  }
}

PathState path_state(const char* path) {
  if (GetFileAttributesA(path) != INVALID_FILE_ATTRIBUTES) return PathState::exists;
  DWORD error = GetLastError();
  if (error == ERROR_FILE_NOT_FOUND || error == ERROR_PATH_NOT_FOUND) return PathState::missing;
  return PathState::unknown;
}

bool make_directory(const char* path) { return CreateDirectoryA(path, nullptr) != 0; }

namespace {

// Wraps a Win32 file handle in a C stream; closes the handle on failure.
FILE* stream_from_handle(HANDLE h, int flags, const char* mode) {
  int fd = _open_osfhandle(reinterpret_cast<intptr_t>(h), flags | _O_BINARY);
  if (fd < 0) {
    CloseHandle(h);
    return nullptr;
  }
  FILE* f = _fdopen(fd, mode);
  if (f == nullptr) _close(fd);
  return f;
}

}  // namespace

FILE* open_for_reading(const char* path) {
  DWORD attributes = GetFileAttributesA(path);
  if (attributes != INVALID_FILE_ATTRIBUTES && (attributes & FILE_ATTRIBUTE_DIRECTORY) != 0) return nullptr;
  HANDLE h = CreateFileA(path, GENERIC_READ, FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr, OPEN_EXISTING,
                         FILE_ATTRIBUTE_NORMAL | FILE_FLAG_SEQUENTIAL_SCAN, nullptr);
  if (h == INVALID_HANDLE_VALUE) return nullptr;
  return stream_from_handle(h, _O_RDONLY, "rb");
}

FILE* create_new_file(const char* path, bool& name_taken) {
  HANDLE h = CreateFileA(path, GENERIC_WRITE, 0, nullptr, CREATE_NEW, FILE_ATTRIBUTE_NORMAL, nullptr);
  if (h == INVALID_HANDLE_VALUE) {
    DWORD error = GetLastError();
    name_taken = error == ERROR_FILE_EXISTS || error == ERROR_ALREADY_EXISTS;
    return nullptr;
  }
  name_taken = false;
  return stream_from_handle(h, _O_WRONLY, "wb");
}

bool is_same_file(FILE* open_file, const char* path) {
  BY_HANDLE_FILE_INFORMATION open_info;
  HANDLE open_handle = reinterpret_cast<HANDLE>(_get_osfhandle(_fileno(open_file)));
  if (open_handle == INVALID_HANDLE_VALUE || !GetFileInformationByHandle(open_handle, &open_info)) return false;
  HANDLE h = CreateFileA(path, 0, FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr, OPEN_EXISTING,
                         FILE_FLAG_BACKUP_SEMANTICS, nullptr);
  if (h == INVALID_HANDLE_VALUE) return false;
  BY_HANDLE_FILE_INFORMATION path_info;
  bool same = GetFileInformationByHandle(h, &path_info) != 0 &&
              path_info.dwVolumeSerialNumber == open_info.dwVolumeSerialNumber &&
              path_info.nFileIndexHigh == open_info.nFileIndexHigh &&
              path_info.nFileIndexLow == open_info.nFileIndexLow;
  CloseHandle(h);
  return same;
}

bool remove_file(const char* path) { return DeleteFileA(path) != 0; }

bool tmp_directory(std::string& value) {
  // Environment names are matched without regard to case here. The value is
  // read as UTF-16 and turned into the ANSI code page by us: wine's ANSI call
  // cuts a double-byte value (a TMP ending in ソ) short by one byte per such
  // character.
  DWORD size = GetEnvironmentVariableW(L"TMP", nullptr, 0);
  if (size == 0) return false;
  std::wstring wide(size, L'\0');
  DWORD n = GetEnvironmentVariableW(L"TMP", wide.data(), size);
  if (n == 0 || n >= size) return false;
  int length = static_cast<int>(n);
  int bytes = WideCharToMultiByte(CP_ACP, 0, wide.data(), length, nullptr, 0, nullptr, nullptr);
  if (bytes <= 0) return false;
  value.assign(static_cast<size_t>(bytes), '\0');
  WideCharToMultiByte(CP_ACP, 0, wide.data(), length, value.data(), bytes, nullptr, nullptr);
  return true;
}

const char* converter_library_name() { return "nkf32.dll"; }

LibraryHandle load_converter_library() {
  // The usual search order looks in the program's own directory first.
  return LoadLibraryA(converter_library_name());
}

void* library_function(LibraryHandle library, const char* name) {
  return reinterpret_cast<void*>(GetProcAddress(static_cast<HMODULE>(library), name));
}

void unload_library(LibraryHandle library) { FreeLibrary(static_cast<HMODULE>(library)); }

void use_binary_standard_streams() {
  _setmode(_fileno(stdout), _O_BINARY);
  _setmode(_fileno(stderr), _O_BINARY);
}
