#include "kanji/kanji.h"

#include <algorithm>
#include <cstring>
#include <memory>

namespace {

constexpr std::string_view temp_prefix = "_tmp_";
constexpr size_t temp_prefix_limit = 5;
constexpr size_t short_name_limit = 8;
constexpr size_t piece_size = 255;
// The library has no size argument: leave it far more room than any
// conversion of a piece needs.
constexpr size_t converted_piece_room = 4 * (piece_size + 1);
constexpr size_t io_buffer_size = size_t{1} << 20;

}  // namespace

std::string temp_candidate(std::string_view dir, std::string_view prefix, unsigned n, char separator,
                           const LeadBytes& lead) {
  std::string file(prefix);
  file += std::to_string(n);
  if (file.size() > short_name_limit) file.insert(short_name_limit, 1, '.');
  std::string name(dir);
  if (!dir.empty() && !ends_with_one_of(dir, "\\/:", lead)) name += separator;
  return name + file;
}

namespace {

// Tries the names of one directory. Gives the directory up when a name cannot
// be tested or (with file) created for a reason other than its existence.
bool find_temp_name_in(std::string_view dir, std::string_view prefix, std::string& name, FILE** file) {
  const LeadBytes lead = active_lead_bytes();
  for (unsigned n = 0; n < temp_counter_limit; ++n) {
    std::string candidate = temp_candidate(dir, prefix, n, native_path_separator(), lead);
    PathState state = path_state(candidate.c_str());
    if (state == PathState::exists) continue;
    if (state == PathState::unknown) return false;
    if (file != nullptr) {
      bool name_taken = false;
      *file = create_new_file(candidate.c_str(), name_taken);
      if (*file == nullptr) {
        if (name_taken) continue;
        return false;
      }
    }
    name = std::move(candidate);
    return true;
  }
  return false;
}

}  // namespace

bool find_temp_name(std::string_view prefix, std::string& name, FILE** file) {
  if (prefix.size() > temp_prefix_limit) return false;
  std::string tmp;
  if (tmp_directory(tmp) && find_temp_name_in(tmp, prefix, name, file)) return true;
  // The current directory, twice.
  return find_temp_name_in("", prefix, name, file) || find_temp_name_in("", prefix, name, file);
}

size_t euc_piece_end(const char* text, size_t size) {
  auto byte = [text](size_t i) { return static_cast<unsigned char>(text[i]); };
  auto in_range = [](unsigned char b, unsigned char lo, unsigned char hi) { return b >= lo && b <= hi; };
  size_t i = 0;
  while (i < size) {
    unsigned char b = byte(i);
    size_t length = 1;
    if (b == 0x8E || b == 0x8F || in_range(b, 0xA1, 0xFE)) {
      // Two bytes, or three after 0x8F; a byte that cannot follow makes the
      // lead byte a character of its own.
      size_t needed = b == 0x8F ? 3 : 2;
      unsigned char hi = b == 0x8E ? 0xDF : 0xFE;
      length = 1;
      while (length < needed && i + length < size && in_range(byte(i + length), 0xA1, hi)) ++length;
      if (length < needed) {
        if (i + length == size && i > 0) return i;
        length = 1;
      }
    }
    i += length;
  }
  return size;
}

size_t convert_piece(NkfConvertFunction convert, const char* in, size_t in_size, char* out) {
  char segment[piece_size + 1];
  size_t written = 0;
  size_t at = 0;
  while (at < in_size) {
    const void* nul = std::memchr(in + at, '\0', in_size - at);
    size_t length = (nul != nullptr ? static_cast<const char*>(nul) - in : in_size) - at;
    if (length > 0) {
      std::memcpy(segment, in + at, length);
      segment[length] = '\0';
      out[written] = '\0';
      convert(out + written, segment);
      written += std::strlen(out + written);
    }
    at += length;
    // The library sees NUL-terminated text; the NUL itself is ours to write.
    if (nul != nullptr) {
      out[written++] = '\0';
      ++at;
    }
  }
  return written;
}

namespace {

struct FileCloser {
  void operator()(FILE* f) const {
    if (f != nullptr) std::fclose(f);
  }
};
using FileHandle = std::unique_ptr<FILE, FileCloser>;

// Reads in large blocks; hands out pieces of at most piece_size bytes that end
// after a line feed or before a character that would not fit.
struct PieceReader {
  FILE* file;
  std::unique_ptr<char[]> data = std::make_unique_for_overwrite<char[]>(io_buffer_size);
  size_t begin = 0;
  size_t end = 0;
  bool at_end = false;
  bool failed = false;
};

void refill(PieceReader& r) {
  std::memmove(r.data.get(), r.data.get() + r.begin, r.end - r.begin);
  r.end -= r.begin;
  r.begin = 0;
  size_t got = std::fread(r.data.get() + r.end, 1, io_buffer_size - r.end, r.file);
  if (got == 0) {
    r.at_end = true;
    r.failed = std::ferror(r.file) != 0;
  }
  r.end += got;
}

size_t next_piece_size(PieceReader& r) {
  while (r.end - r.begin < piece_size && !r.at_end) refill(r);
  const char* p = r.data.get() + r.begin;
  size_t window = std::min(r.end - r.begin, piece_size);
  if (const void* lf = std::memchr(p, '\n', window)) return static_cast<size_t>(static_cast<const char*>(lf) - p) + 1;
  return window == piece_size ? euc_piece_end(p, window) : window;
}

// Converts every piece of in into out. False when writing failed.
bool convert_pieces(PieceReader& r, FILE* out, NkfConvertFunction convert) {
  auto buffer = std::make_unique_for_overwrite<char[]>(io_buffer_size);
  size_t used = 0;
  for (;;) {
    size_t size = next_piece_size(r);
    if (size == 0) break;
    if (io_buffer_size - used < converted_piece_room) {
      if (std::fwrite(buffer.get(), 1, used, out) != used) return false;
      used = 0;
    }
    used += convert_piece(convert, r.data.get() + r.begin, size, buffer.get() + used);
    r.begin += size;
  }
  return std::fwrite(buffer.get(), 1, used, out) == used;
}

PrepassStatus convert_file(const char* input_path, std::string& temp_name, SetNkfOptionFunction set_option,
                           NkfConvertFunction convert) {
  FileHandle in(open_for_reading(input_path));
  if (!in) {
    std::fprintf(stderr, "file open failed. %s\n", input_path);
    return PrepassStatus::failed;
  }
  FILE* created = nullptr;
  if (!find_temp_name(temp_prefix, temp_name, &created)) {
    std::fprintf(stderr, "file open failed. %s\n", temp_name.c_str());
    return PrepassStatus::failed;
  }
  FileHandle out(created);
  std::setvbuf(in.get(), nullptr, _IONBF, 0);
  std::setvbuf(out.get(), nullptr, _IONBF, 0);

  set_option("s");
  PieceReader reader{in.get()};
  bool written = convert_pieces(reader, out.get(), convert);
  if (std::fclose(out.release()) != 0) written = false;
  if (reader.failed) {
    std::fprintf(stderr, "file read failed. %s\n", input_path);
    return PrepassStatus::failed;
  }
  if (!written) {
    std::fprintf(stderr, "file write failed. %s\n", temp_name.c_str());
    return PrepassStatus::failed;
  }
  return PrepassStatus::converted;
}

}  // namespace

PrepassStatus convert_euc_to_sjis(const char* input_path, std::string& temp_name) {
  LibraryHandle library = load_converter_library();
  if (library == nullptr) {
    std::fputs("load failed nkf32.dll\n", stderr);
    return PrepassStatus::library_missing;
  }
  auto set_option = reinterpret_cast<SetNkfOptionFunction>(library_function(library, "SetNkfOption"));
  auto convert = reinterpret_cast<NkfConvertFunction>(library_function(library, "NkfConvert"));
  PrepassStatus status = PrepassStatus::library_missing;
  if (set_option == nullptr || convert == nullptr) {
    std::fputs("load failed nkf32.dll\n", stderr);
  } else {
    status = convert_file(input_path, temp_name, set_option, convert);
  }
  unload_library(library);
  return status;
}

FILE* open_converted_input(const char* input_path, std::string& temp_name) {
  if (!find_temp_name(temp_prefix, temp_name, nullptr)) {
    std::fputs("temporary file open failed\n", stderr);
    return nullptr;
  }
  if (convert_euc_to_sjis(input_path, temp_name) == PrepassStatus::failed) return nullptr;
  FILE* in = open_for_reading(temp_name.c_str());
  if (in == nullptr) std::fprintf(stderr, "file open failed. %s\n", temp_name.c_str());
  return in;
}
