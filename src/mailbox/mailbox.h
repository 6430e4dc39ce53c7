// Rewriting a UNIX mbox file into a Shuriken mailbox: the delimiter line before
// each message in place of its "From " separator line, CR LF line ends.
#pragma once

#include <cstddef>
#include <cstdio>
#include <string>
#include <string_view>

inline constexpr std::string_view delimiter_line =
    "====================KeyABCabc0123456789XYZxyz-Mailer-MailBox-Delmit-Line-Do-Not-Edit-JustSystem"
    "====================";

// Lines are judged by their first piece: at most this many bytes, up to and
// including the line feed.
inline constexpr size_t piece_limit = 255;

// Date test of a separator line, on the text up to its first NUL (and at most
// size bytes): 0 when, starting 13 bytes before the first ':', it scans as
// "%3c %3c%3d %2d:%2d:%2d %d"; -1 otherwise, also when that colon lies within
// the first 13 bytes.
int check_from_date(const char* text, size_t size);
int check_from_date(const char* piece);

// Where the rewrite reads from: fills buffer with up to capacity raw bytes and
// returns their count, 0 at the end, or read_error.
inline constexpr size_t read_error = static_cast<size_t>(-1);
struct MailboxInput {
  size_t (*read)(void* context, char* buffer, size_t capacity);
  void* context;
};

// Where the rewrite writes to. open is called once, only after the input has
// passed its checks; write returns false on failure.
struct MailboxOutput {
  bool (*open)(void* context);
  bool (*write)(void* context, const char* data, size_t size);
  void* context;
};

enum class RewriteStatus { converted, no_data, not_mbox, read_failed, open_failed, write_failed };

// Reads the input in text mode (every CR dropped, 0x1A ends it) and writes the
// Shuriken form. One pass; memory does not grow with the input.
RewriteStatus rewrite_mailbox(MailboxInput in, MailboxOutput out);

// The same over memory, for tests, fuzzing and benchmarks.
RewriteStatus rewrite_mailbox_text(std::string_view in, std::string& out);

// Rewrites the open input stream into a new file at out_path. Reports a failure
// on standard error (naming in_name or out_path) and returns -1; 0 on success.
int convert_mailbox(FILE* in, const char* in_name, const char* out_path);
