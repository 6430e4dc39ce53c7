// What the fuzz targets share: a property check that stops the run with a
// message (libFuzzer then keeps the input as a crash artifact), and the date
// test as the C library's formatted input reads it, as an independent oracle.
#pragma once

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <string_view>

inline void fuzz_check(bool holds, const char* property) {
  if (holds) return;
  std::fprintf(stderr, "property violated: %s\n", property);
  std::abort();
}

// Escaped text for failure messages.
inline std::string printable(std::string_view bytes) {
  std::string shown;
  for (unsigned char c : bytes) {
    if (c >= 0x20 && c < 0x7F && c != '\\') {
      shown += static_cast<char>(c);
    } else {
      char hex[8];
      std::snprintf(hex, sizeof hex, "\\x%02X", c);
      shown += hex;
    }
  }
  return shown;
}

// A separator's date, judged the way sscanf judges it: from 13 bytes before
// the first ':' of the NUL-terminated text, "%3c %3c%3d %2d:%2d:%2d %d" must
// take all seven items. A colon within the first 13 bytes fails.
inline int reference_date_test(const char* text) {
  const char* colon = std::strchr(text, ':');
  if (colon == nullptr || colon - text < 13) return -1;
  char weekday[3];
  char month[3];
  int day = 0, hours = 0, minutes = 0, seconds = 0, year = 0;
  int taken = std::sscanf(colon - 13, "%3c %3c%3d %2d:%2d:%2d %d", weekday, month, &day, &hours, &minutes,
                          &seconds, &year);
  return taken == 7 ? 0 : -1;
}
