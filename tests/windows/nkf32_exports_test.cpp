// nkf32.dll as a Windows program binds it: LoadLibraryA, GetProcAddress by
// the undecorated names, and __stdcall calls. Run under wine, beside the DLL.
#include <windows.h>

#include <cstdint>
#include <cstdio>
#include <cstring>
#include <string>

namespace {

using SetNkfOptionFunction = int(__stdcall*)(const char* option);
using NkfConvertFunction = void(__stdcall*)(char* out, const char* in);

int failures = 0;

void expect(bool ok, const char* what) {
  if (!ok) {
    std::printf("FAIL %s\n", what);
    ++failures;
  }
}

std::string hex(const std::string& bytes) {
  std::string text;
  char digits[4];
  for (unsigned char b : bytes) {
    std::snprintf(digits, sizeof digits, "%02X ", b);
    text += digits;
  }
  return text;
}

// Bytes a call leaves on the stack: 0 when the callee removes its arguments
// (__stdcall), 4 per argument when it leaves them to the caller (__cdecl).
// Written out in assembly so that no compiler stack bookkeeping hides it.
std::uint32_t bytes_left_by_call(void* function, const void* first, const void* second, int arguments) {
  std::uint32_t left;
  // eax, ecx and edx carry the operands in and are the callee's to change;
  // esi keeps the stack pointer from before the pushes.
  asm volatile(
      "movl %%esp, %[left]\n\t"
      "cmpl $2, %[arguments]\n\t"
      "jne 1f\n\t"
      "pushl %[second]\n"
      "1:\n\t"
      "pushl %[first]\n\t"
      "call *%[function]\n\t"
      "movl %[left], %%ecx\n\t"
      "subl %%esp, %[left]\n\t"
      "movl %%ecx, %%esp\n\t"
      : [left] "=&S"(left), [function] "+a"(function), [first] "+c"(first), [second] "+d"(second)
      : [arguments] "D"(arguments)
      : "memory", "cc");
  return left;
}

struct Conversion {
  const char* label;
  const char* euc;
  const char* sjis;
};

// Expected bytes as `nkf -E -s -x --no-cp932` gives them; JIS X 0212 as
// `iconv -f EUC-JP -t CP932` does, or the geta mark where CP932 has none.
const Conversion conversions[] = {
    {"ascii", "From a Wed Oct 13 14:23:52 2003\n", "From a Wed Oct 13 14:23:52 2003\n"},
    {"hiragana", "\xA4\xB3\xA4\xF3\xA4\xCB\xA4\xC1\xA4\xCF", "\x82\xB1\x82\xF1\x82\xC9\x82\xBF\x82\xCD"},
    {"kanji with 5C second byte", "\xC9\xBD\xA5\xBD", "\x95\x5C\x83\x5C"},
    {"kanji row 63 and up", "\xDF\xA1\xF4\xA6", "\xE0\x40\xEA\xA4"},
    {"half-width katakana", "\x8E\xB6\x8E\xC0\x8E\xB6\x8E\xC5", "\xB6\xC0\xB6\xC5"},
    {"JIS X 0212 with a CP932 code", "\x8F\xD4\xE3", "\xFA\x5C"},
    {"JIS X 0212 without one", "\x8F\xB0\xA1", "\x81\xAC"},
    {"mixed with line end", "Subject: \xB2\xF1\xB5\xC4\r\n", "Subject: \x89\xEF\x8B\x63\r\n"},
    {"empty", "", ""},
};

void check_conversions(NkfConvertFunction convert) {
  for (const Conversion& c : conversions) {
    char out[256];
    std::memset(out, 'Z', sizeof out);
    convert(out, c.euc);
    bool ok = std::strcmp(out, c.sjis) == 0;
    if (!ok) std::printf("  %s: got %s, expected %s\n", c.label, hex(out).c_str(), hex(c.sjis).c_str());
    expect(ok, c.label);
  }
}

}  // namespace

int main() {
  HMODULE library = LoadLibraryA("nkf32.dll");
  if (library == nullptr) {
    std::printf("FAIL nkf32.dll does not load (error %lu)\n", GetLastError());
    return 1;
  }
  auto set_option = reinterpret_cast<SetNkfOptionFunction>(
      reinterpret_cast<void*>(GetProcAddress(library, "SetNkfOption")));
  auto convert = reinterpret_cast<NkfConvertFunction>(
      reinterpret_cast<void*>(GetProcAddress(library, "NkfConvert")));
  expect(set_option != nullptr, "SetNkfOption is exported by that name");
  expect(convert != nullptr, "NkfConvert is exported by that name");
  if (set_option == nullptr || convert == nullptr) return 1;

  expect(set_option("s") == 0, "SetNkfOption(\"s\") returns 0");
  check_conversions(convert);

  char out[64];
  expect(bytes_left_by_call(reinterpret_cast<void*>(set_option), "s", nullptr, 1) == 0,
         "SetNkfOption removes its argument from the stack (__stdcall)");
  expect(bytes_left_by_call(reinterpret_cast<void*>(convert), out, "\xA4\xA2", 2) == 0,
         "NkfConvert removes its arguments from the stack (__stdcall)");
  expect(std::strcmp(out, "\x82\xA0") == 0, "NkfConvert called from assembly converts");

  FreeLibrary(library);
  std::printf("%s\n", failures == 0 ? "all passed" : "failures");
  return failures == 0 ? 0 : 1;
}
