// The mailbox rewrite over arbitrary input, compared byte for byte with a
// plain line-by-line model of the rules. The same input is also read in small
// chunks, with a read error part way, and with an output that cannot be opened
// or written: a failure must never come back as success.
#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <iterator>
#include <string>
#include <string_view>
#include <vector>

#include "fuzz_check.h"
#include "mailbox/mailbox.h"

namespace {

// ---- the model --------------------------------------------------------------

constexpr size_t piece_bytes = 255;
const std::string delimiter = std::string(delimiter_line) + "\r\n";

struct Line {
  std::string_view text;  // without its line feed
  bool has_line_feed;
};

struct Expected {
  RewriteStatus status;
  std::string output;
};

// Text-mode reading: a 0x1A ends the input, every CR is dropped.
std::string text_mode(std::string_view in) {
  std::string text;
  for (char c : in.substr(0, in.find('\x1A'))) {
    if (c != '\r') text += c;
  }
  return text;
}

std::vector<Line> split_lines(std::string_view text) {
  std::vector<Line> lines;
  while (!text.empty()) {
    const size_t lf = text.find('\n');
    if (lf == std::string_view::npos) {
      lines.push_back({text, false});
      break;
    }
    lines.push_back({text.substr(0, lf), true});
    text.remove_prefix(lf + 1);
  }
  return lines;
}

// What the tests look at: the line's first 255 bytes (its line feed counted),
// up to the first NUL.
std::string first_piece(const Line& line) {
  std::string piece(line.text);
  if (line.has_line_feed) piece += '\n';
  piece.resize(std::min(piece.size(), piece_bytes));
  return piece.substr(0, piece.find('\0'));
}

bool begins_with_from(const Line& line) { return first_piece(line).rfind("From ", 0) == 0; }
bool passes_date_test(const Line& line) { return reference_date_test(first_piece(line).c_str()) == 0; }
bool is_separator(const Line& line) { return begins_with_from(line) && passes_date_test(line); }
bool is_empty(const Line& line) { return line.text.empty() && line.has_line_feed; }
bool has_colon(const Line& line) { return first_piece(line).find(':') != std::string::npos; }

std::string written(const Line& line) { return std::string(line.text) + (line.has_line_feed ? "\r\n" : ""); }

Expected model_rewrite(std::string_view in) {
  const std::string text = text_mode(in);
  if (text.empty()) return {RewriteStatus::no_data, ""};
  const std::vector<Line> lines = split_lines(text);

  // The first line that begins with "From " or passes the date test opens
  // the first message; the line after it must hold a colon.
  size_t first = 0;
  while (first < lines.size() && !begins_with_from(lines[first]) && !passes_date_test(lines[first])) ++first;
  const size_t header = first + 1;
  if (header >= lines.size() || !has_colon(lines[header])) return {RewriteStatus::not_mbox, ""};

  std::string out = delimiter;
  for (size_t i = header; i < lines.size(); ++i) {
    const bool separator = i > header && is_separator(lines[i]);
    const bool last = i + 1 == lines.size();
    if (separator) {
      out += delimiter;
    } else if (is_empty(lines[i]) && (last || is_separator(lines[i + 1]))) {
      // The empty line that closes a message, and an empty last line, go.
    } else {
      out += written(lines[i]);
    }
  }
  return {RewriteStatus::converted, out};
}

// ---- the rewrite through its callbacks ----------------------------------------

struct ChunkedInput {
  std::string_view rest;
  size_t chunk;
  size_t offset = 0;
  size_t fail_at;  // read error once this offset is reached; npos: never
};

size_t read_chunk(void* context, char* buffer, size_t capacity) {
  auto* in = static_cast<ChunkedInput*>(context);
  if (in->offset >= in->fail_at) return read_error;
  size_t n = std::min({capacity, in->chunk, in->rest.size(), in->fail_at - in->offset});
  std::memcpy(buffer, in->rest.data(), n);
  in->rest.remove_prefix(n);
  in->offset += n;
  return n;
}

struct RecordingOutput {
  bool open_succeeds = true;
  bool write_succeeds = true;
  bool opened = false;
  bool written_to = false;
  std::string bytes;
};

RecordingOutput recording(bool open_succeeds, bool write_succeeds) {
  RecordingOutput out;
  out.open_succeeds = open_succeeds;
  out.write_succeeds = write_succeeds;
  return out;
}

bool open_recording(void* context) {
  auto* out = static_cast<RecordingOutput*>(context);
  fuzz_check(!out->opened, "the output is opened once");
  out->opened = true;
  return out->open_succeeds;
}

bool write_recording(void* context, const char* data, size_t size) {
  auto* out = static_cast<RecordingOutput*>(context);
  fuzz_check(out->opened && out->open_succeeds, "nothing is written to an output that is not open");
  out->written_to = true;
  if (!out->write_succeeds) return false;
  out->bytes.append(data, size);
  return true;
}

RewriteStatus rewrite_in_chunks(std::string_view in, size_t chunk, size_t fail_at, RecordingOutput& out) {
  ChunkedInput input{in, chunk, 0, fail_at};
  return rewrite_mailbox({read_chunk, &input}, {open_recording, write_recording, &out});
}

uint32_t mix(std::string_view bytes) {
  uint32_t h = 2166136261u;
  for (unsigned char c : bytes) h = (h ^ c) * 16777619u;
  return h;
}

void report_mismatch(std::string_view in, const std::string& expected, const std::string& actual) {
  std::fprintf(stderr, "input:    %s\nexpected: %s\nactual:   %s\n", printable(in).c_str(),
               printable(expected).c_str(), printable(actual).c_str());
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  const std::string_view in(reinterpret_cast<const char*>(data), size);
  const Expected expected = model_rewrite(in);

  // Over memory, in one read.
  const std::string untouched = "older output";
  std::string out = untouched;
  const RewriteStatus status = rewrite_mailbox_text(in, out);
  if (status != expected.status || (status == RewriteStatus::converted && out != expected.output)) {
    report_mismatch(in, expected.output, out);
  }
  fuzz_check(status == expected.status, "the status is the model's");
  if (status == RewriteStatus::converted) {
    fuzz_check(out == expected.output, "the output is the model's, byte for byte");
  } else {
    fuzz_check(out == untouched, "a rewrite that fails writes nothing");
  }

  // One of the harder ways to get there, chosen by the input itself.
  static constexpr size_t chunks[] = {1, 2, 3, 7, 64, 254, 255, 256, 4096};
  const uint32_t h = mix(in);
  const size_t chunk = chunks[h % std::size(chunks)];
  const bool converted = status == RewriteStatus::converted;
  switch ((h >> 8) % 4) {
    case 0: {  // small reads
      RecordingOutput rec = recording(true, true);
      fuzz_check(rewrite_in_chunks(in, chunk, std::string_view::npos, rec) == status,
                 "small reads give the same status");
      fuzz_check(rec.bytes == (converted ? expected.output : ""), "small reads give the same output");
      break;
    }
    case 1: {  // a read error part way
      if (size == 0) break;
      const size_t fail_at = (h >> 12) % size;
      RecordingOutput rec = recording(true, true);
      const RewriteStatus failed = rewrite_in_chunks(in, chunk, fail_at, rec);
      fuzz_check(failed == status || failed == RewriteStatus::read_failed,
                 "a read error gives read_failed or what was decided before it");
      // A conversion reads its whole text-mode input, so it meets the error.
      if (converted && fail_at < in.find('\x1A')) {
        fuzz_check(failed == RewriteStatus::read_failed, "a read error before the end is never a success");
      }
      break;
    }
    case 2: {  // the output cannot be opened
      RecordingOutput rec = recording(false, true);
      const RewriteStatus failed = rewrite_in_chunks(in, chunk, std::string_view::npos, rec);
      fuzz_check(failed == (converted ? RewriteStatus::open_failed : status),
                 "an output that cannot be opened gives open_failed");
      fuzz_check(rec.opened == converted, "the output is opened only after the checks pass");
      fuzz_check(!rec.written_to, "nothing is written after a failed open");
      break;
    }
    default: {  // every write fails
      RecordingOutput rec = recording(true, false);
      const RewriteStatus failed = rewrite_in_chunks(in, chunk, std::string_view::npos, rec);
      fuzz_check(failed == (converted ? RewriteStatus::write_failed : status),
                 "an output that cannot be written gives write_failed");
      break;
    }
  }
  return 0;
}
