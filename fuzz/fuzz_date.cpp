// The date test of separator lines over arbitrary bytes: the sized and the
// NUL-terminated forms agree, and both agree with sscanf, which the test
// imitates.
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <memory>
#include <string>

#include "fuzz_check.h"
#include "mailbox/mailbox.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  const char* text = reinterpret_cast<const char*>(data);
  const std::string terminated(text, size);  // c_str() ends it with a NUL

  // libFuzzer's buffer is exactly size bytes: reading past it is caught.
  const int sized = check_from_date(text, size);
  const int plain = check_from_date(terminated.c_str());
  fuzz_check(sized == 0 || sized == -1, "the date test gives 0 or -1");
  // Both forms look at the text up to its first NUL, so they always agree;
  // without a NUL they see the very same bytes.
  fuzz_check(sized == plain, "sized and NUL-terminated forms agree");
  fuzz_check(plain == reference_date_test(terminated.c_str()), "the date test reads like sscanf");

  // A shorter size is a real bound: nothing after it counts or is read.
  if (size > 0) {
    const size_t prefix = data[0] % (size + 1);
    auto copy = std::make_unique<char[]>(prefix == 0 ? 1 : prefix);
    std::memcpy(copy.get(), text, prefix);
    const std::string prefix_text(text, prefix);
    fuzz_check(check_from_date(copy.get(), prefix) == reference_date_test(prefix_text.c_str()),
               "the sized form stops at its size");
  }
  return 0;
}
