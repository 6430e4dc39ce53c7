// The converter library called directly on arbitrary bytes. Every character
// is found in the output where an independent walk of the input puts it: no
// byte is dropped, added or moved, and the output is never longer than the
// input. The buffers are exactly as large as the library promises to need,
// so a write beyond them is caught; in-place conversion gives the same text.
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <memory>
#include <string>
#include <string_view>

#include "fuzz_check.h"
#include "nkf32.h"

namespace {

bool in_range(unsigned char b, unsigned lo, unsigned hi) { return b >= lo && b <= hi; }
bool is_gr94(unsigned char b) { return in_range(b, 0xA1, 0xFE); }

// JIS X 0208 row and cell (EUC-JP bytes less 0x80) to Shift-JIS, the
// textbook way.
void jis_to_sjis(unsigned char euc1, unsigned char euc2, unsigned char sjis[2]) {
  const unsigned j1 = euc1 - 0x80u;
  const unsigned j2 = euc2 - 0x80u;
  sjis[0] = static_cast<unsigned char>(((j1 + 1) >> 1) + (j1 <= 0x5E ? 0x70 : 0xB0));
  sjis[1] = static_cast<unsigned char>(j2 + ((j1 & 1) != 0 ? (j2 <= 0x5F ? 0x1F : 0x20) : 0x7E));
}

bool is_sjis_lead(unsigned char b) { return in_range(b, 0x81, 0x9F) || in_range(b, 0xE0, 0xFC); }
bool is_sjis_trail(unsigned char b) { return in_range(b, 0x40, 0xFC) && b != 0x7F; }

void fail_at(std::string_view in, std::string_view out, size_t in_at, size_t out_at, const char* property) {
  std::fprintf(stderr, "input %s\noutput %s\ninput offset %zu, output offset %zu\n", printable(in).c_str(),
               printable(out).c_str(), in_at, out_at);
  fuzz_check(false, property);
}

// Walks the input character by character and checks each against the output.
void check_conversion(std::string_view in, std::string_view out) {
  size_t i = 0;
  size_t o = 0;
  while (i < in.size()) {
    const unsigned char b = static_cast<unsigned char>(in[i]);
    const unsigned char next = i + 1 < in.size() ? static_cast<unsigned char>(in[i + 1]) : 0;
    const unsigned char third = i + 2 < in.size() ? static_cast<unsigned char>(in[i + 2]) : 0;
    auto got = [&](size_t k) { return o + k < out.size() ? static_cast<unsigned char>(out[o + k]) : -1; };
    if (is_gr94(b) && is_gr94(next)) {  // JIS X 0208
      unsigned char sjis[2];
      jis_to_sjis(b, next, sjis);
      if (got(0) != sjis[0] || got(1) != sjis[1]) fail_at(in, out, i, o, "a JIS X 0208 pair becomes its Shift-JIS pair");
      i += 2;
      o += 2;
    } else if (b == 0x8E && in_range(next, 0xA1, 0xDF)) {  // half-width katakana
      if (got(0) != next) fail_at(in, out, i, o, "8E xx becomes the single byte xx");
      i += 2;
      o += 1;
    } else if (b == 0x8F && is_gr94(next) && is_gr94(third)) {  // JIS X 0212
      if (got(0) < 0 || got(1) < 0 || !is_sjis_lead(static_cast<unsigned char>(got(0))) ||
          !is_sjis_trail(static_cast<unsigned char>(got(1)))) {
        fail_at(in, out, i, o, "a JIS X 0212 character becomes one Shift-JIS character");
      }
      i += 3;
      o += 2;
    } else {  // ASCII, and any byte that opens no character, unchanged
      if (got(0) != b) fail_at(in, out, i, o, "every other byte is copied unchanged, in order");
      i += 1;
      o += 1;
    }
  }
  if (o != out.size()) fail_at(in, out, i, o, "the output length follows from the input");
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  const size_t length = strnlen(reinterpret_cast<const char*>(data), size);
  const std::string_view text(reinterpret_cast<const char*>(data), length);

  auto in = std::make_unique<char[]>(length + 1);
  std::memcpy(in.get(), text.data(), length);
  in[length] = '\0';
  auto out = std::make_unique<char[]>(length + 1);
  std::memset(out.get(), 0xCC, length + 1);

  fuzz_check(SetNkfOption("s") == 0, "the option s is accepted");
  NkfConvert(out.get(), in.get());
  const size_t out_length = strnlen(out.get(), length + 1);
  fuzz_check(out_length <= length, "the output is NUL-terminated and never longer than the input");
  fuzz_check(std::memcmp(in.get(), text.data(), length) == 0 && in[length] == '\0', "the input is left as it was");
  check_conversion(text, std::string_view(out.get(), out_length));

  // In place, in a buffer of the same exact size.
  auto same = std::make_unique<char[]>(length + 1);
  std::memcpy(same.get(), in.get(), length + 1);
  NkfConvert(same.get(), same.get());
  fuzz_check(std::strcmp(same.get(), out.get()) == 0, "converting in place gives the same text");
  return 0;
}
