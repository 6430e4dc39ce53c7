#include "corpus.h"

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "kanji/kanji.h"

std::string read_corpus(const char* env_name, const char* default_path, size_t limit) {
  const char* path = std::getenv(env_name);
  if (path == nullptr || *path == '\0') path = default_path;
  std::string text;
  if (path == nullptr) return text;
  FILE* f = std::fopen(path, "rb");
  if (f == nullptr) {
    std::fprintf(stderr, "cannot open %s (set %s)\n", path, env_name);
    return text;
  }
  text.resize(limit);
  text.resize(std::fread(text.data(), 1, limit, f));
  std::fclose(f);
  return text;
}

std::string synthetic_mailbox(size_t size) {
  static const char* const days[] = {"Mon", "Tue", "Wed", "Thu", "Fri", "Sat", "Sun"};
  static const char* const months[] = {"Jan", "Feb", "Mar", "Apr", "May", "Jun",
                                       "Jul", "Aug", "Sep", "Oct", "Nov", "Dec"};
  static const char paragraph[] =
      "Thanks for the report. The nightly build failed again on the old box,\n"
      "but the patch you sent fixes the linker error for me as well.\n"
      "I will merge it after the meeting unless someone objects before then.\n";
  std::string long_line(700, 'x');
  for (size_t i = 0; i < long_line.size(); i += 9) long_line[i] = ' ';
  std::string huge_line(5000, 'y');
  std::string out;
  out.reserve(size + 8192);
  char line[512];
  for (unsigned n = 0; out.size() < size; ++n) {
    std::snprintf(line, sizeof line, "From user%u@example.org %s %s %2u %02u:%02u:%02u %u\n", n % 97, days[n % 7],
                  months[n % 12], n % 28 + 1, n % 24, n % 60, (n * 7) % 60, 1998 + n % 12);
    out += line;
    std::snprintf(line, sizeof line,
                  "Return-Path: <user%u@example.org>\nReceived: from relay.example.org by mx.example.net id h%08X\n"
                  "Message-ID: <%u@example.org>\nFrom: user%u@example.org\nTo: list@example.net\n"
                  "Subject: build report %u\n\n",
                  n % 97, n, n, n % 97, n);
    out += line;
    for (unsigned p = 0; p < 1 + n % 5; ++p) out.append(paragraph).append("\n");
    if (n % 4 == 0) out += ">From the archive: nothing new since Tuesday.\n> quoted text\n\n";
    if (n % 7 == 0) out += "From what I remember the old box never had this problem\n\n";
    if (n % 9 == 0) out.append(long_line).append("\n\n");
    if (n % 97 == 0) out.append(huge_line).append("\n\n");
    out += "-- \nbuild bot\n\n";
  }
  return out;
}

// The pre-pass hands the library at most this many bytes at a time.
constexpr size_t prepass_piece_size = 255;

std::vector<size_t> euc_pieces(const std::string& text) {
  std::vector<size_t> offsets{0};
  size_t at = 0;
  while (at < text.size()) {
    size_t window = std::min(text.size() - at, prepass_piece_size);
    const void* lf = std::memchr(text.data() + at, '\n', window);
    size_t size = lf != nullptr ? static_cast<size_t>(static_cast<const char*>(lf) - (text.data() + at)) + 1
                  : window == prepass_piece_size ? euc_piece_end(text.data() + at, window)
                                          : window;
    at += size;
    offsets.push_back(at);
  }
  return offsets;
}
