// The EUC-JP to Shift-JIS pre-pass: the input is converted through the
// converter library into a temporary file, which the rewrite then reads.
#pragma once

#include <cstddef>
#include <cstdio>
#include <string>
#include <string_view>

#include "platform/platform.h"

// The functions looked up in the converter library, by these names.
using SetNkfOptionFunction = int(CONVERTER_CALL*)(const char* option);
using NkfConvertFunction = void(CONVERTER_CALL*)(char* out, const char* in);

// Counter values tried for temporary names: 0 up to this bound, exclusive.
inline constexpr unsigned temp_counter_limit = 65535;

// The n-th candidate name in dir: dir, a separator when dir is not empty and
// does not end in '\', '/' or ':', prefix, and n in decimal, with a '.' after
// the 8th character when prefix and digits are longer (_tmp_1000 -> _tmp_100.0).
std::string temp_candidate(std::string_view dir, std::string_view prefix, unsigned n, char separator,
                           const LeadBytes& lead);

// The first candidate name, in TMP, then the current directory twice, that
// does not exist. With create, the file is also created exclusively and
// returned in *file (a name that appears meanwhile is passed over). False when
// no name can be had.
bool find_temp_name(std::string_view prefix, std::string& name, FILE** file);

// The converter applied to one piece of text: writes the text between NUL
// bytes through convert and each NUL byte itself into out. in_size is at most
// 255; out needs room for 4 bytes per input byte.
size_t convert_piece(NkfConvertFunction convert, const char* in, size_t in_size, char* out);

// Where a piece read without a line feed must end so that it does not cut an
// EUC-JP character in two: before the first byte of a character it cannot hold.
size_t euc_piece_end(const char* text, size_t size);

enum class PrepassStatus { converted, library_missing, failed };

// Converts input_path from EUC-JP to Shift-JIS into a new file named
// temp_name (which may move on to a later candidate if that name has
// appeared meanwhile). Reports failures on standard error.
PrepassStatus convert_euc_to_sjis(const char* input_path, std::string& temp_name);

// The whole pre-pass as the run sees it: the converted temporary copy, open
// for reading, or null after a reported failure. temp_name receives its name.
FILE* open_converted_input(const char* input_path, std::string& temp_name);
