#include "driver/driver.h"

#include <algorithm>
#include <cstdio>
#include <cstring>

#include "kanji/kanji.h"
#include "mailbox/mailbox.h"

namespace {

constexpr size_t path_area_limit = 260;
constexpr size_t part_limit = 255;
constexpr size_t drive_limit = 2;

std::string cut(std::string_view text, size_t limit) { return std::string(text.substr(0, limit)); }

bool is_path_separator(char c) { return c == '\\' || c == '/'; }

// Name and extension of a final path component: the extension runs from the
// component's last '.' to its end.
void split_file_name(std::string_view component, const LeadBytes& lead, size_t limit, PathParts& parts) {
  size_t dot = std::string_view::npos;
  for (size_t i = 0; i < component.size(); i += char_length(component, i, lead)) {
    if (component[i] == '.') dot = i;
  }
  if (dot == std::string_view::npos) dot = component.size();
  parts.name = cut(component.substr(0, dot), limit);
  parts.extension = cut(component.substr(dot), limit);
}

// Splits the first area_limit bytes of path, cutting each part to each_limit.
PathParts split_within(std::string_view path, const LeadBytes& lead, size_t area_limit, size_t each_limit) {
  path = path.substr(0, std::min(path.size(), area_limit));
  PathParts parts;
  size_t start = 0;
  if (path.size() >= 2 && char_length(path, 0, lead) == 1 && path[1] == ':') {
    parts.drive = cut(path, drive_limit);
    start = 2;
  }
  size_t component = start;
  for (size_t i = start; i < path.size(); i += char_length(path, i, lead)) {
    if (is_path_separator(path[i])) component = i + 1;
  }
  std::string_view final_component = path.substr(component);
  if (final_component == "." || final_component == "..") {
    parts.directory = cut(path.substr(start), each_limit);
    return parts;
  }
  parts.directory = cut(path.substr(start, component - start), each_limit);
  split_file_name(final_component, lead, each_limit, parts);
  return parts;
}

}  // namespace

PathParts split_path(std::string_view path, const LeadBytes& lead) {
  return split_within(path, lead, path_area_limit, part_limit);
}

std::string join_path(const PathParts& parts, char separator, const LeadBytes& lead) {
  std::string path = parts.drive + parts.directory;
  if (!parts.directory.empty() && !ends_with_one_of(parts.directory, "\\/", lead)) path += separator;
  return path + parts.name + parts.extension;
}

std::string output_directory_path(std::string_view exe_path, char separator, const LeadBytes& lead) {
  // Not cut: a long program path must still put the output beside the program.
  constexpr size_t whole = std::string_view::npos;
  PathParts parts = split_within(exe_path, lead, whole, whole);
  parts.name = "quillet_out";
  parts.extension.clear();
  return join_path(parts, separator, lead);
}

std::string output_file_path(std::string_view out_dir, std::string_view input_path, char separator,
                             const LeadBytes& lead) {
  PathParts input = split_path(input_path, lead);
  std::string path(out_dir);
  path += separator;
  return path + input.name + "_$$$" + input.extension;
}

int make_output_dir(std::string& out, const std::string& exe_path) {
  // Without the executable's own path there is no right place for the output.
  if (exe_path.empty()) return -1;
  out = output_directory_path(exe_path, native_path_separator(), active_lead_bytes());
  if (path_state(out.c_str()) == PathState::exists) return 0;
  return make_directory(out.c_str()) ? 0 : -1;
}

void print_usage() {
  // The Japanese words are Shift-JIS bytes, written as they are.
  static const char usage[] =
      "UNIX MBOX -> Shuriken\x8C\x60\x8E\xAE\x83\x81\x81\x5B\x83\x8B\x83\x52\x83\x93\x83\x6F\x81\x5B"
      "\x83\x5E\x81\x5B quillet (c) 2026 the quillet developers\n"
      "quillet [-option] 'UNIX-MBOX format file'\n"
      "[ption]\n"
      "        -e: convert EUC to Shift-JIS. this option needs NKF32.DLL\n";
  std::fwrite(usage, 1, sizeof usage - 1, stdout);
  std::fflush(stdout);
}

namespace {

bool is_option(const char* arg) { return arg[0] == '-' || arg[0] == '/'; }

bool is_convert_option(const char* arg) {
  return std::strlen(arg) == 2 && (arg[1] == 'e' || arg[1] == 'E');
}

}  // namespace

int run_quillet(int argc, char** argv) {
  use_binary_standard_streams();
  if (argc <= 1) {
    print_usage();
    return 0;
  }
  std::string out_dir;
  if (make_output_dir(out_dir, executable_path()) != 0) {
    std::fputs("temporary directory open failed\n", stderr);
    return -1;
  }

  bool convert_kanji = false;
  const char* input_path = argv[1];
  if (is_option(argv[1])) {
    if (!is_convert_option(argv[1])) {
      std::fputs("invalid option\n", stderr);
      return -1;
    }
    if (argc == 2) {
      std::fputs("command line paramater error!\n", stderr);
      return -1;
    }
    convert_kanji = true;
    input_path = argv[2];
  }

  FILE* in = nullptr;
  std::string temp_name;
  if (convert_kanji) {
    in = open_converted_input(input_path, temp_name);
    if (in == nullptr) return -1;
  } else {
    in = open_for_reading(input_path);
    if (in == nullptr) {
      std::fprintf(stderr, "file open failed. %s\n", input_path);
      return -1;
    }
  }

  // The output is named after the path as given, also when a temporary copy is read.
  std::string out_path = output_file_path(out_dir, input_path, native_path_separator(), active_lead_bytes());
  int status = convert_mailbox(in, convert_kanji ? temp_name.c_str() : input_path, out_path.c_str());
  std::fclose(in);
  if (status != 0) return -1;
  // Only a successful run removes the temporary copy.
  if (convert_kanji) remove_file(temp_name.c_str());
  return 0;
}
