// The command line and the run sequence: usage text, output directory beside
// the executable, input and output paths.
#pragma once

#include <string>
#include <string_view>

#include "platform/platform.h"

// A path split into drive ("C:" or empty), directory (through its last '\' or
// '/'), name and extension (from the last '.', dot included). Only the first
// 260 bytes count; each part is cut to 255 bytes, the drive to 2.
struct PathParts {
  std::string drive;
  std::string directory;
  std::string name;
  std::string extension;
};

PathParts split_path(std::string_view path, const LeadBytes& lead);

// Drive, directory (with a separator appended when it lacks one) and name.
std::string join_path(const PathParts& parts, char separator, const LeadBytes& lead);

// quillet_out beside the executable. The output directory does not depend on
// the current directory or on where the input lies.
std::string output_directory_path(std::string_view exe_path, char separator, const LeadBytes& lead);

// <output directory><separator><input name>_$$$<input extension>
std::string output_file_path(std::string_view out_dir, std::string_view input_path, char separator,
                             const LeadBytes& lead);

// Composes the output directory path into out and makes sure something of
// that name exists, creating one directory level if needed. 0, or -1.
int make_output_dir(std::string& out, const std::string& exe_path);

void print_usage();

// The whole run; returns the exit status (0, or -1 after a reported failure).
int run_quillet(int argc, char** argv);
