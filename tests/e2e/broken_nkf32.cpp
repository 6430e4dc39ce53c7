// A converter library that lacks one of its two functions, for the cases in
// which the program must refuse it. Built twice: with BROKEN_NKF32_KEEP_CONVERT
// it has NkfConvert only, without it SetNkfOption only.
#include <cstring>

#include "nkf32.h"

extern "C" {

#ifdef BROKEN_NKF32_KEEP_CONVERT
NKF32_API void NKF32_CALL NkfConvert(char* out, const char* in) { std::strcpy(out, in); }
#else
NKF32_API int NKF32_CALL SetNkfOption(const char* option) {
  return option != nullptr && std::strcmp(option, "s") == 0 ? 0 : -1;
}
#endif

}  // extern "C"
