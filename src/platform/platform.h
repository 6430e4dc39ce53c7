// The few things quillet asks of the operating system. One POSIX and one
// Windows implementation; nothing else in the program knows which it runs on.
#pragma once

#include <array>
#include <cstdio>
#include <string>
#include <string_view>

// Which bytes open a double-byte character in the code page used for paths.
using LeadBytes = std::array<bool, 256>;

// Code page 932 (Shift-JIS): lead bytes 81..9F and E0..FC.
inline LeadBytes cp932_lead_bytes() {
  LeadBytes lead{};
  for (int b = 0x81; b <= 0x9F; ++b) lead[b] = true;
  for (int b = 0xE0; b <= 0xFC; ++b) lead[b] = true;
  return lead;
}

// The lead bytes of the code page that file names on the command line are in.
// Windows: the active ANSI code page. POSIX: code page 932 when the locale's
// codeset is Shift_JIS or CP932, else none (so UTF-8 names are never misread).
LeadBytes active_lead_bytes();

// Separator the platform puts between a directory and a file name.
char native_path_separator();

// Full path of the running executable as the system reports it for the
// module (never argv[0] as typed); empty when the system cannot tell.
std::string executable_path();

// Existence test that does not ask whether the path is a file or a directory.
enum class PathState { exists, missing, unknown };
PathState path_state(const char* path);

// Creates one directory level; false on failure.
bool make_directory(const char* path);

// Opens a regular file for binary reading; refuses directories. Null on failure.
FILE* open_for_reading(const char* path);

// Creates a new file for binary writing, failing if anything of that name
// exists (no link is followed). Null on failure; name_taken tells whether it
// failed because the name exists.
FILE* create_new_file(const char* path, bool& name_taken);

// True when path names the very file that the open stream reads, so that
// opening path for writing would empty it.
bool is_same_file(FILE* open_file, const char* path);

// Deletes a file; false on failure.
bool remove_file(const char* path);

// Value of the environment variable TMP, its name matched without regard to
// case; false when it is not set.
bool tmp_directory(std::string& value);

// Run-time loading of the converter library. library_handle() is null when
// nothing could be loaded.
using LibraryHandle = void*;
// The library's file name on this platform, e.g. for messages and tests.
const char* converter_library_name();
// Loads the converter library: beside the executable first, then the system's search.
LibraryHandle load_converter_library();
void* library_function(LibraryHandle library, const char* name);
void unload_library(LibraryHandle library);

// Makes standard output and error write bytes unchanged (no LF -> CR LF).
void use_binary_standard_streams();

// Length of the character that starts at text[i]: 2 for a lead byte with a
// byte after it, else 1. Walking with it from the start of a text never takes
// the second byte of a double-byte character for a delimiter.
inline size_t char_length(std::string_view text, size_t i, const LeadBytes& lead) {
  return lead[static_cast<unsigned char>(text[i])] && i + 1 < text.size() ? 2 : 1;
}

// True when the last character of text is one of the single-byte characters in set.
inline bool ends_with_one_of(std::string_view text, std::string_view set, const LeadBytes& lead) {
  size_t last = std::string_view::npos;
  for (size_t i = 0; i < text.size(); i += char_length(text, i, lead)) last = i;
  if (last == std::string_view::npos || last + 1 != text.size()) return false;
  return set.find(text[last]) != std::string_view::npos;
}

// Calling convention of the converter library's two functions: __stdcall on
// 32-bit Windows, the platform's default elsewhere.
#if defined(_WIN32) && !defined(_WIN64)
#define CONVERTER_CALL __stdcall
#else
#define CONVERTER_CALL
#endif
