// The -e pre-pass piece logic with the real converter: converting a text
// piece by piece (at most 255 bytes, ending after a line feed or where
// euc_piece_end puts it, NULs written by convert_piece) gives what converting
// it in one go gives. A piece that cut a character in two would show here.
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <memory>
#include <string>
#include <string_view>

#include "fuzz_check.h"
#include "kanji/kanji.h"
#include "nkf32.h"

namespace {

constexpr size_t piece_bytes = 255;

// The whole text at once: each stretch between NULs in a single library
// call, each NUL kept.
std::string convert_in_one_go(std::string_view text) {
  std::string out;
  for (;;) {
    const size_t nul = text.find('\0');
    const std::string segment(text.substr(0, nul));
    std::string converted(segment.size() + 1, '\0');
    NkfConvert(converted.data(), segment.c_str());
    out += converted.c_str();
    if (nul == std::string_view::npos) return out;
    out += '\0';
    text.remove_prefix(nul + 1);
  }
}

// Where the pre-pass ends a piece: after a line feed within 255 bytes; else a
// full piece ends where euc_piece_end says; the input's tail is one piece.
size_t piece_size(std::string_view rest) {
  const size_t window = std::min(rest.size(), piece_bytes);
  const size_t lf = rest.substr(0, window).find('\n');
  if (lf != std::string_view::npos) return lf + 1;
  if (window < piece_bytes) return window;
  const size_t end = euc_piece_end(rest.data(), window);
  // A character is at most 3 bytes: only an unfinished one at the end moves.
  fuzz_check(end > 0 && end <= window && end + 2 >= window, "euc_piece_end cuts at most one unfinished character");
  return end;
}

std::string convert_piece_by_piece(std::string_view text) {
  std::string out;
  while (!text.empty()) {
    const size_t size = piece_size(text);
    // Exactly the room the library's length promise needs: the piece and a NUL.
    auto piece = std::make_unique<char[]>(size);
    std::memcpy(piece.get(), text.data(), size);
    auto converted = std::make_unique<char[]>(size + 1);
    const size_t written = convert_piece(NkfConvert, piece.get(), size, converted.get());
    fuzz_check(written <= size, "a converted piece is never longer than the piece");
    out.append(converted.get(), written);
    text.remove_prefix(size);
  }
  return out;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  const std::string_view text(reinterpret_cast<const char*>(data), size);

  // euc_piece_end on any short text: never past its end, never before an
  // unfinished character at the end.
  if (size <= piece_bytes) {
    const size_t end = euc_piece_end(text.data(), size);
    fuzz_check(end <= size && end + 2 >= size && (size == 0 || end > 0), "euc_piece_end stays within the text");
  }

  const std::string expected = convert_in_one_go(text);
  const std::string actual = convert_piece_by_piece(text);
  if (actual != expected) {
    std::fprintf(stderr, "input    %s\nexpected %s\nactual   %s\n", printable(text).c_str(),
                 printable(expected).c_str(), printable(actual).c_str());
  }
  fuzz_check(actual == expected, "converting piece by piece equals converting in one go");
  return 0;
}
