// POSIX side of the platform layer (Linux).
#include "platform/platform.h"

#include <cerrno>
#include <cstring>
#include <dlfcn.h>
#include <fcntl.h>
#include <langinfo.h>
#include <locale.h>
#include <strings.h>
#include <sys/stat.h>
#include <unistd.h>

extern char** environ;

LeadBytes active_lead_bytes() {
  // Ask the user's locale without changing the program's own.
  locale_t user = newlocale(LC_CTYPE_MASK, "", static_cast<locale_t>(0));
  if (user == static_cast<locale_t>(0)) return LeadBytes{};
  const char* codeset = nl_langinfo_l(CODESET, user);
  bool sjis = codeset != nullptr &&
              (strcasecmp(codeset, "SHIFT_JIS") == 0 || strcasecmp(codeset, "SJIS") == 0 ||
               strcasecmp(codeset, "CP932") == 0);
  freelocale(user);
  return sjis ? cp932_lead_bytes() : LeadBytes{};
}

char native_path_separator() { return '/'; }

std::string executable_path() {
  std::string path(256, '\0');
  for (;;) {
    ssize_t n = readlink("/proc/self/exe", path.data(), path.size());
    if (n < 0) return {};
    if (static_cast<size_t>(n) < path.size()) {
      path.resize(static_cast<size_t>(n));
      return path;
    }
    path.resize(path.size() * 2);
  }
}

PathState path_state(const char* path) {
  struct stat st;
  if (stat(path, &st) == 0) return PathState::exists;
  if (errno == ENOENT || errno == ENOTDIR) return PathState::missing;
  return PathState::unknown;
}

bool make_directory(const char* path) { return mkdir(path, 0777) == 0; }

FILE* open_for_reading(const char* path) {
  int fd = open(path, O_RDONLY | O_CLOEXEC);
  if (fd < 0) return nullptr;
  struct stat st;
  if (fstat(fd, &st) != 0 || S_ISDIR(st.st_mode)) {
    close(fd);
    errno = EISDIR;
    return nullptr;
  }
  FILE* f = fdopen(fd, "rb");
  if (f == nullptr) close(fd);
  return f;
}

FILE* create_new_file(const char* path, bool& name_taken) {
  // O_EXCL also refuses an existing symbolic link, dangling or not.
  int fd = open(path, O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, 0600);
  name_taken = fd < 0 && errno == EEXIST;
  if (fd < 0) return nullptr;
  FILE* f = fdopen(fd, "wb");
  if (f == nullptr) close(fd);
  return f;
}

bool is_same_file(FILE* open_file, const char* path) {
  struct stat open_st;
  struct stat path_st;
  if (fstat(fileno(open_file), &open_st) != 0 || stat(path, &path_st) != 0) return false;
  return open_st.st_dev == path_st.st_dev && open_st.st_ino == path_st.st_ino;
}

bool remove_file(const char* path) { return unlink(path) == 0; }

bool tmp_directory(std::string& value) {
  // Windows matches environment names without regard to case; so do we, but
  // an exact "TMP" wins when several spellings are set.
  const char* found = nullptr;
  for (char** e = environ; e != nullptr && *e != nullptr; ++e) {
    if (strncasecmp(*e, "TMP=", 4) != 0) continue;
    if (found == nullptr || strncmp(*e, "TMP=", 4) == 0) found = *e;
    if (strncmp(*e, "TMP=", 4) == 0) break;
  }
  if (found == nullptr) return false;
  value = found + 4;
  return true;
}

const char* converter_library_name() { return "libnkf32.so"; }

LibraryHandle load_converter_library() {
  std::string beside = executable_path();
  size_t slash = beside.rfind('/');
  if (slash != std::string::npos) {
    beside.replace(slash + 1, std::string::npos, converter_library_name());
    if (void* lib = dlopen(beside.c_str(), RTLD_NOW | RTLD_LOCAL)) return lib;
  }
  return dlopen(converter_library_name(), RTLD_NOW | RTLD_LOCAL);
}

void* library_function(LibraryHandle library, const char* name) { return dlsym(library, name); }

void unload_library(LibraryHandle library) { dlclose(library); }

void use_binary_standard_streams() {}
