#include "mailbox/mailbox.h"

#include <algorithm>
#include <cstring>
#include <memory>

#include "platform/platform.h"

namespace {

constexpr size_t io_buffer_size = size_t{1} << 20;
constexpr char end_of_file_mark = 0x1A;

// ---- date test -------------------------------------------------------------

// Cursor over the text the date test scans.
struct Scan {
  const char* at;
  const char* end;
};

// White space as the C locale's formatted input sees it.
bool is_scan_space(char c) { return c == ' ' || (c >= '\t' && c <= '\r'); }

void skip_space(Scan& s) {
  while (s.at < s.end && is_scan_space(*s.at)) ++s.at;
}

// %Nc: N bytes taken as they are.
bool take_bytes(Scan& s, size_t count) {
  if (static_cast<size_t>(s.end - s.at) < count) return false;
  s.at += count;
  return true;
}

// %Nd: leading white space skipped, then a sign and digits, at most width
// characters in all, at least one digit.
bool take_integer(Scan& s, size_t width) {
  skip_space(s);
  size_t used = 0;
  if (s.at < s.end && (*s.at == '+' || *s.at == '-')) {
    ++s.at;
    ++used;
  }
  size_t digits = 0;
  while (used < width && s.at < s.end && *s.at >= '0' && *s.at <= '9') {
    ++s.at;
    ++used;
    ++digits;
  }
  return digits > 0;
}

bool take_literal(Scan& s, char c) {
  if (s.at >= s.end || *s.at != c) return false;
  ++s.at;
  return true;
}

// Length of the text up to its first NUL, at most size.
size_t text_length(const char* text, size_t size) {
  const void* nul = std::memchr(text, '\0', size);
  return nul != nullptr ? static_cast<size_t>(static_cast<const char*>(nul) - text) : size;
}

}  // namespace

int check_from_date(const char* text, size_t size) {
  size = text_length(text, size);
  const char* colon = static_cast<const char*>(std::memchr(text, ':', size));
  constexpr size_t window_before_colon = 13;
  if (colon == nullptr || static_cast<size_t>(colon - text) < window_before_colon) return -1;
  constexpr size_t unbounded = static_cast<size_t>(-1);
  Scan s{colon - window_before_colon, text + size};
  bool ok = take_bytes(s, 3);
  if (ok) skip_space(s);
  ok = ok && take_bytes(s, 3) && take_integer(s, 3);
  if (ok) skip_space(s);
  ok = ok && take_integer(s, 2) && take_literal(s, ':') && take_integer(s, 2) &&
       take_literal(s, ':') && take_integer(s, 2);
  if (ok) skip_space(s);
  ok = ok && take_integer(s, unbounded);
  return ok ? 0 : -1;
}

int check_from_date(const char* piece) { return check_from_date(piece, std::strlen(piece)); }

namespace {

// ---- reading in text mode, one line head at a time --------------------------

struct Reader {
  MailboxInput in;
  std::unique_ptr<char[]> data;
  size_t begin = 0;  // first unread byte
  size_t end = 0;    // end of the bytes read so far
  bool at_end = false;
  bool failed = false;
};

// Applies the text-mode reading rules to freshly read bytes in place: a 0x1A
// ends the input, every CR is dropped. Returns how many bytes remain.
size_t apply_text_mode(char* p, size_t n, bool& ended) {
  if (const void* eof = std::memchr(p, end_of_file_mark, n)) {
    n = static_cast<size_t>(static_cast<const char*>(eof) - p);
    ended = true;
  }
  char* cr = static_cast<char*>(std::memchr(p, '\r', n));
  if (cr == nullptr) return n;
  char* out = cr;
  const char* src = cr + 1;
  const char* stop = p + n;
  while (src < stop) {
    const char* next = static_cast<const char*>(std::memchr(src, '\r', static_cast<size_t>(stop - src)));
    const char* run_end = next != nullptr ? next : stop;
    std::memmove(out, src, static_cast<size_t>(run_end - src));
    out += run_end - src;
    src = next != nullptr ? next + 1 : stop;
  }
  return static_cast<size_t>(out - p);
}

// Moves the unread bytes to the front and reads more, until at least one byte
// was added or the input has ended. Only called with few unread bytes left.
void fill(Reader& r) {
  std::memmove(r.data.get(), r.data.get() + r.begin, r.end - r.begin);
  r.end -= r.begin;
  r.begin = 0;
  while (!r.at_end) {
    size_t got = r.in.read(r.in.context, r.data.get() + r.end, io_buffer_size - r.end);
    if (got == read_error) {
      r.failed = true;
      r.at_end = true;
      return;
    }
    if (got == 0) {
      r.at_end = true;
      return;
    }
    size_t kept = apply_text_mode(r.data.get() + r.end, got, r.at_end);
    r.end += kept;
    if (kept > 0) return;
  }
}

// The first piece of a line: the bytes through its line feed, at most
// piece_limit of them. It stays in the buffer until the line is consumed.
struct Head {
  const char* text;
  size_t size;  // 0 at the end of the input
  bool whole_line;
};

Head next_head(Reader& r) {
  for (;;) {
    const char* p = r.data.get() + r.begin;
    size_t available = r.end - r.begin;
    size_t window = std::min(available, piece_limit);
    if (const void* lf = std::memchr(p, '\n', window)) {
      return {p, static_cast<size_t>(static_cast<const char*>(lf) - p) + 1, true};
    }
    if (available >= piece_limit || r.at_end) return {p, window, false};
    fill(r);
  }
}

bool is_empty_line(const Head& h) { return h.size == 1 && h.text[0] == '\n'; }

bool begins_with_from(const Head& h) { return h.size >= 5 && std::memcmp(h.text, "From ", 5) == 0; }

bool is_separator(const Head& h) { return begins_with_from(h) && check_from_date(h.text, h.size) == 0; }

bool has_colon(const Head& h) { return std::memchr(h.text, ':', text_length(h.text, h.size)) != nullptr; }

// ---- writing in text mode ---------------------------------------------------

struct Writer {
  MailboxOutput out;
  std::unique_ptr<char[]> data;
  size_t used = 0;
  bool failed = false;
};

void flush(Writer& w) {
  if (w.used > 0 && !w.failed && !w.out.write(w.out.context, w.data.get(), w.used)) w.failed = true;
  w.used = 0;
}

void put(Writer& w, const char* p, size_t n) {
  if (w.used + n > io_buffer_size) {
    flush(w);
    if (n > io_buffer_size) {
      if (!w.failed && !w.out.write(w.out.context, p, n)) w.failed = true;
      return;
    }
  }
  std::memcpy(w.data.get() + w.used, p, n);
  w.used += n;
}

void put_line_end(Writer& w) { put(w, "\r\n", 2); }

void put_delimiter(Writer& w) {
  put(w, delimiter_line.data(), delimiter_line.size());
  put_line_end(w);
}

// Consumes the line whose head is h, through its line feed or the end of the
// input, however long it is; copies it to w (LF as CR LF) unless w is null.
void consume_line(Reader& r, const Head& h, Writer* w) {
  if (h.whole_line) {
    if (w != nullptr) {
      put(*w, h.text, h.size - 1);
      put_line_end(*w);
    }
    r.begin += h.size;
    return;
  }
  for (;;) {
    const char* p = r.data.get() + r.begin;
    size_t available = r.end - r.begin;
    const void* lf = std::memchr(p, '\n', available);
    size_t run = lf != nullptr ? static_cast<size_t>(static_cast<const char*>(lf) - p) : available;
    if (w != nullptr) put(*w, p, run);
    if (lf != nullptr) {
      if (w != nullptr) put_line_end(*w);
      r.begin += run + 1;
      return;
    }
    r.begin = r.end;
    if (r.at_end) return;
    fill(r);
  }
}

// Skips to the first line that begins with "From " or passes the date test
// (either will do here) and consumes it. Lines before it are discarded.
RewriteStatus find_first_separator(Reader& r) {
  Head h = next_head(r);
  if (h.size == 0) return r.failed ? RewriteStatus::read_failed : RewriteStatus::no_data;
  while (!begins_with_from(h) && check_from_date(h.text, h.size) != 0) {
    consume_line(r, h, nullptr);
    h = next_head(r);
    if (h.size == 0) return r.failed ? RewriteStatus::read_failed : RewriteStatus::not_mbox;
  }
  consume_line(r, h, nullptr);
  return RewriteStatus::converted;
}

// The hot path. Copies, LF as CR LF, the lines that lie whole in the buffer
// and need no decision: not starting with 'F' (so no separator), and empty
// lines whose next line is there and does not start with 'F'. Stops at any
// other line, which the careful path below then judges.
void copy_plain_lines(Reader& r, Writer& w) {
  const char* p = r.data.get() + r.begin;
  const char* const stop = r.data.get() + r.end;
  char* out = w.data.get() + w.used;
  char* const out_end = w.data.get() + io_buffer_size;
  while (p < stop) {
    if (*p == '\n') {
      if (stop - p < 2 || p[1] == 'F' || out_end - out < 2) break;
      out[0] = '\r';
      out[1] = '\n';
      out += 2;
      ++p;
      continue;
    }
    if (*p == 'F') break;
    const char* lf = static_cast<const char*>(std::memchr(p, '\n', static_cast<size_t>(stop - p)));
    if (lf == nullptr) break;
    size_t n = static_cast<size_t>(lf - p);
    if (static_cast<size_t>(out_end - out) < n + 2) break;
    std::memcpy(out, p, n);
    out[n] = '\r';
    out[n + 1] = '\n';
    out += n + 2;
    p = lf + 1;
  }
  w.used = static_cast<size_t>(out - w.data.get());
  r.begin = static_cast<size_t>(p - r.data.get());
}

// Copies the messages. An empty line is held back one line, since it is
// dropped when a separator or the end of the input follows it.
void copy_messages(Reader& r, Writer& w) {
  bool empty_line_held = false;
  while (!w.failed) {
    if (!empty_line_held) copy_plain_lines(r, w);
    Head h = next_head(r);
    if (h.size == 0) return;
    if (is_separator(h)) {
      empty_line_held = false;
      put_delimiter(w);
      consume_line(r, h, nullptr);
      continue;
    }
    if (empty_line_held) put_line_end(w);
    empty_line_held = is_empty_line(h);
    if (empty_line_held) {
      r.begin += 1;
      continue;
    }
    consume_line(r, h, &w);
  }
}

}  // namespace

RewriteStatus rewrite_mailbox(MailboxInput in, MailboxOutput out) {
  Reader r{in, std::make_unique_for_overwrite<char[]>(io_buffer_size)};
  RewriteStatus found = find_first_separator(r);
  if (found != RewriteStatus::converted) return found;

  // The line after the first separator must look like a header.
  Head first = next_head(r);
  if (first.size == 0 || !has_colon(first)) {
    return r.failed ? RewriteStatus::read_failed : RewriteStatus::not_mbox;
  }
  if (!out.open(out.context)) return RewriteStatus::open_failed;

  Writer w{out, std::make_unique_for_overwrite<char[]>(io_buffer_size)};
  put_delimiter(w);
  consume_line(r, first, &w);
  copy_messages(r, w);
  flush(w);
  if (r.failed) return RewriteStatus::read_failed;
  return w.failed ? RewriteStatus::write_failed : RewriteStatus::converted;
}

namespace {

struct MemoryInput {
  std::string_view rest;
};

size_t read_memory(void* context, char* buffer, size_t capacity) {
  auto* in = static_cast<MemoryInput*>(context);
  size_t n = std::min(capacity, in->rest.size());
  std::memcpy(buffer, in->rest.data(), n);
  in->rest.remove_prefix(n);
  return n;
}

bool open_string(void* context) {
  static_cast<std::string*>(context)->clear();
  return true;
}

bool append_string(void* context, const char* data, size_t size) {
  static_cast<std::string*>(context)->append(data, size);
  return true;
}

}  // namespace

RewriteStatus rewrite_mailbox_text(std::string_view in, std::string& out) {
  MemoryInput memory{in};
  return rewrite_mailbox({read_memory, &memory}, {open_string, append_string, &out});
}

namespace {

size_t read_file(void* context, char* buffer, size_t capacity) {
  FILE* f = static_cast<FILE*>(context);
  size_t got = std::fread(buffer, 1, capacity, f);
  return got == 0 && std::ferror(f) ? read_error : got;
}

struct OutputFile {
  const char* path;
  FILE* input;
  FILE* file;
};

bool open_output_file(void* context) {
  auto* out = static_cast<OutputFile*>(context);
  // Opening the input itself for writing would empty the mail being read.
  if (is_same_file(out->input, out->path)) return false;
  out->file = std::fopen(out->path, "wb");
  // We buffer in large blocks ourselves.
  if (out->file != nullptr) std::setvbuf(out->file, nullptr, _IONBF, 0);
  return out->file != nullptr;
}

bool write_output_file(void* context, const char* data, size_t size) {
  return std::fwrite(data, 1, size, static_cast<OutputFile*>(context)->file) == size;
}

}  // namespace

int convert_mailbox(FILE* in, const char* in_name, const char* out_path) {
  std::setvbuf(in, nullptr, _IONBF, 0);
  OutputFile out{out_path, in, nullptr};
  RewriteStatus status = rewrite_mailbox({read_file, in}, {open_output_file, write_output_file, &out});
  if (out.file != nullptr && std::fclose(out.file) != 0 && status == RewriteStatus::converted) {
    status = RewriteStatus::write_failed;
  }
  switch (status) {
    case RewriteStatus::converted:
      return 0;
    case RewriteStatus::no_data:
      std::fputs("no data!\n", stderr);
      break;
    case RewriteStatus::not_mbox:
      std::fputs("maybe not unix mbox format file!\n", stderr);
      break;
    case RewriteStatus::read_failed:
      std::fprintf(stderr, "file read failed. %s\n", in_name);
      break;
    case RewriteStatus::open_failed:
      std::fprintf(stderr, "file open failed. %s\n", out_path);
      break;
    case RewriteStatus::write_failed:
      std::fprintf(stderr, "file write failed. %s\n", out_path);
      break;
  }
  return -1;
}
