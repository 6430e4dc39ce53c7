/*
 * nkf32 -- quillet's own EUC-JP to Shift-JIS converter, loaded at run time
 * (nkf32.dll on Windows, libnkf32.so on Linux).
 *
 * Contract
 * --------
 * NkfConvert(out, in) converts the NUL-terminated EUC-JP text `in` to
 * Shift-JIS and writes it, NUL-terminated, to `out`.  Every call is
 * independent of the previous one: no state is kept between calls, so the
 * functions are reentrant and thread-safe.
 *
 *   - Bytes below 0x80 are copied unchanged (ISO-2022 escape sequences and
 *     MIME encoded words are left alone).
 *   - A JIS X 0208 pair (both bytes A1..FE) becomes its Shift-JIS pair by the
 *     JIS row/cell arithmetic, for all 94 rows, unassigned cells and rows 13
 *     and 85..94 included (pure arithmetic, no table).
 *   - A half-width katakana (8E followed by A1..DF) becomes that single byte.
 *   - A JIS X 0212 character (8F followed by two bytes A1..FE) becomes the
 *     CP932 character where CP932 has one (the IBM extensions, as glibc's
 *     `iconv -f EUC-JP -t CP932` maps them), otherwise the geta mark 81 AC.
 *     No character is ever dropped.
 *   - Any other byte (a lone or truncated lead byte, 8E not followed by
 *     A1..DF, 8F not followed by two A1..FE bytes, 80..8D, 90..A0, FF) is
 *     copied unchanged, and scanning resumes at the next byte.
 *
 * OUTPUT LENGTH: the output is never longer than the input.  Every rule maps
 * n input bytes to at most n output bytes (1->1, 2->2, 8E xx -> 1 byte,
 * 8F xx yy -> 2 bytes), so `out` needs at most strlen(in) + 1 bytes
 * including the terminating NUL.  Callers should still allocate some margin.
 *
 * Buffers: `out` may be the same pointer as `in` (in-place conversion);
 * otherwise the two buffers must not overlap.  NkfConvert writes only within
 * out[0 .. strlen(in)]; bytes after the terminating NUL in that range may be
 * overwritten.  NkfConvert(out, NULL) writes an empty string;
 * NkfConvert(NULL, ...) does nothing.
 *
 * SetNkfOption("s") selects EUC-JP -> Shift-JIS and returns 0.  Any other
 * option text (including NULL) returns -1.  The conversion is the same either
 * way: EUC-JP -> Shift-JIS is the only mode.
 *
 * Both functions have C linkage and plain undecorated export names; on
 * 32-bit Windows they use the __stdcall calling convention.
 */
#ifndef QUILLET_NKF32_H
#define QUILLET_NKF32_H

/* Calling convention: __stdcall on 32-bit Windows only, nothing elsewhere. */
#if defined(_WIN32) && !defined(_WIN64)
#  if defined(_MSC_VER)
#    define NKF32_CALL __stdcall
#  else
#    define NKF32_CALL __attribute__((stdcall))
#  endif
#else
#  define NKF32_CALL
#endif

/* Export: on Windows the .def file exports the names; elsewhere the library
 * is built with hidden visibility and exports just these two functions. */
#if !defined(_WIN32) && (defined(__GNUC__) || defined(__clang__))
#  define NKF32_API __attribute__((visibility("default")))
#else
#  define NKF32_API
#endif

#ifdef __cplusplus
extern "C" {
#endif

NKF32_API int NKF32_CALL SetNkfOption(const char *option);
NKF32_API void NKF32_CALL NkfConvert(char *out, const char *in);

#ifdef __cplusplus
}
#endif

#endif /* QUILLET_NKF32_H */
