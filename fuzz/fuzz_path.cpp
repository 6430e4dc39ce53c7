// Path splitting over arbitrary bytes, without and with code page 932 lead
// bytes: the parts keep their limits, they decompose the first 260 bytes in
// order, no part holds what belongs to another, and composing paths from them
// never fails.
#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

#include "driver/driver.h"
#include "fuzz_check.h"

namespace {

constexpr size_t considered_bytes = 260;
constexpr size_t part_limit = 255;
constexpr size_t drive_limit = 2;

bool is_separator(char c) { return c == '/' || c == '\\'; }

// Where each character starts, walking from the start of the text: a lead
// byte and the byte after it are one character.
std::vector<bool> character_starts(std::string_view text, const LeadBytes& lead) {
  std::vector<bool> starts(text.size(), false);
  size_t i = 0;
  while (i < text.size()) {
    starts[i] = true;
    i += lead[static_cast<unsigned char>(text[i])] && i + 1 < text.size() ? 2 : 1;
  }
  return starts;
}

bool has_character_in(std::string_view text, const std::vector<bool>& starts, size_t from, size_t to,
                      std::string_view set) {
  for (size_t i = from; i < to; ++i) {
    if (starts[i] && set.find(text[i]) != std::string_view::npos) return true;
  }
  return false;
}

bool same_parts(const PathParts& a, const PathParts& b) {
  return a.drive == b.drive && a.directory == b.directory && a.name == b.name && a.extension == b.extension;
}

void check_split(std::string_view path, const PathParts& parts, const LeadBytes& lead) {
  fuzz_check(parts.drive.size() <= drive_limit, "the drive holds at most 2 bytes");
  fuzz_check(parts.directory.size() <= part_limit, "the directory holds at most 255 bytes");
  fuzz_check(parts.name.size() <= part_limit, "the name holds at most 255 bytes");
  fuzz_check(parts.extension.size() <= part_limit, "the extension holds at most 255 bytes");

  const std::string_view head = path.substr(0, considered_bytes);
  const std::vector<bool> starts = character_starts(head, lead);
  const bool has_drive = head.size() >= 2 && head[1] == ':' && !lead[static_cast<unsigned char>(head[0])];
  fuzz_check(parts.drive == (has_drive ? head.substr(0, 2) : std::string_view()),
             "a drive is the first two bytes when the second is a colon character");

  // The parts follow each other in the path, each cut to its limit.
  size_t at = parts.drive.size();
  fuzz_check(head.substr(at, parts.directory.size()) == parts.directory, "the directory follows the drive");
  if (parts.directory.size() == part_limit) return;  // cut: where the rest begins is not known
  at += parts.directory.size();
  const size_t file_start = at;
  fuzz_check(head.substr(at, parts.name.size()) == parts.name, "the name follows the directory");
  if (parts.name.size() == part_limit) return;
  at += parts.name.size();
  fuzz_check(head.substr(at, parts.extension.size()) == parts.extension, "the extension follows the name");
  if (parts.extension.size() == part_limit) return;
  at += parts.extension.size();
  fuzz_check(at == head.size(), "nothing of the first 260 bytes is lost");

  // Nothing uncut is in the wrong part.
  fuzz_check(!has_character_in(head, starts, file_start, head.size(), "/\\"),
             "name and extension hold no separator character");
  // The final component starts after the last separator character; a final
  // "." or ".." stays with the directory.
  size_t component_start = parts.drive.size();
  for (size_t i = component_start; i < head.size(); ++i) {
    if (starts[i] && is_separator(head[i])) component_start = i + 1;
  }
  const std::string_view final_component = head.substr(component_start);
  if (final_component == "." || final_component == "..") {
    fuzz_check(file_start == head.size(), "a final . or .. belongs to the directory");
  } else {
    fuzz_check(file_start == component_start, "the directory runs through the last separator character");
  }
  if (!parts.extension.empty()) {
    fuzz_check(parts.extension[0] == '.', "the extension begins with its dot");
    const size_t extension_start = file_start + parts.name.size();
    fuzz_check(starts[extension_start], "the extension's dot is a character of its own");
    fuzz_check(!has_character_in(head, starts, extension_start + 1, head.size(), "."),
               "the extension begins at the last dot");
  } else {
    fuzz_check(!has_character_in(head, starts, file_start, head.size(), "."),
               "without an extension the name holds no dot");
  }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  const std::string_view path(reinterpret_cast<const char*>(data), size);
  const LeadBytes none{};
  const LeadBytes cp932 = cp932_lead_bytes();

  const PathParts plain = split_path(path, none);
  const PathParts multibyte = split_path(path, cp932);
  check_split(path, plain, none);
  check_split(path, multibyte, cp932);

  bool any_lead_byte = false;
  for (unsigned char c : path.substr(0, considered_bytes)) any_lead_byte = any_lead_byte || cp932[c];
  if (!any_lead_byte) fuzz_check(same_parts(plain, multibyte), "without lead bytes the code page changes nothing");

  for (const LeadBytes* lead : {&none, &cp932}) {
    const PathParts parts = split_path(path, *lead);
    const std::string out = output_file_path("out", path, '/', *lead);
    fuzz_check(out == "out/" + parts.name + "_$$$" + parts.extension,
               "the output file is the output directory, the name, _$$$ and the extension");
    const std::string dir = output_directory_path(path, '\\', *lead);
    fuzz_check(dir.size() >= 11 && dir.compare(dir.size() - 11, 11, "quillet_out") == 0,
               "the output directory is named quillet_out");
    const std::string joined = join_path(parts, '\\', *lead);
    fuzz_check(joined.size() <= parts.drive.size() + parts.directory.size() + 1 + parts.name.size() +
                                    parts.extension.size(),
               "joining adds at most one separator");
  }
  return 0;
}
