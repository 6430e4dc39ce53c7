#include "driver/driver.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

namespace {

const LeadBytes no_lead{};
const LeadBytes cp932 = cp932_lead_bytes();

struct SplitCase {
  std::string path;
  bool multibyte;
  PathParts expected;
  const char* why;
};

TEST(SplitPath, SplitsIntoDriveDirectoryNameAndExtension) {
  const std::string long_name(300, 'n');
  const std::vector<SplitCase> cases = {
      {"C:\\mail\\inbox.mbx", false, {"C:", "\\mail\\", "inbox", ".mbx"}, "drive, directory, extension"},
      {"inbox", false, {"", "", "inbox", ""}, "name only"},
      {"..\\old.inbox.txt", false, {"", "..\\", "old.inbox", ".txt"}, "extension from the last dot"},
      {"/home/u/a.b/file", false, {"", "/home/u/a.b/", "file", ""}, "dot in a directory is no extension"},
      {"dir/sub\\x.y", false, {"", "dir/sub\\", "x", ".y"}, "both separators count"},
      {"a/..", false, {"", "a/..", "", ""}, "final .. belongs to the directory"},
      {".", false, {"", ".", "", ""}, "lone . belongs to the directory"},
      {".profile", false, {"", "", "", ".profile"}, "leading dot starts the extension"},
      {"name.", false, {"", "", "name", "."}, "trailing dot is an empty extension"},
      {"C:x.txt", false, {"C:", "", "x", ".txt"}, "drive without directory"},
      {long_name + ".txt", false, {"", "", std::string(255, 'n'), ""}, "only 260 bytes count, parts cut to 255"},
      {"d/" + std::string(250, 'n') + ".ext", false, {"", "d/", std::string(250, 'n'), ".ext"}, "within 260"},
      {"\x95\x5C.txt", true, {"", "", "\x95\x5C", ".txt"}, "0x5C as a second byte is no separator"},
      {"\x95\x5C.txt", false, {"", "\x95\x5C", "", ".txt"}, "without lead bytes 0x5C separates"},
      {"dir\\\x83\x5C\x83\x74\x83\x67.mbx", true, {"", "dir\\", "\x83\x5C\x83\x74\x83\x67", ".mbx"},
       "katakana so ends in 0x5C"},
      {"\x81\x2E\x81\x2E", true, {"", "", "\x81\x2E\x81\x2E", ""}, "0x2E as a second byte is no dot"},
  };
  for (const SplitCase& c : cases) {
    PathParts got = split_path(c.path, c.multibyte ? cp932 : no_lead);
    EXPECT_EQ(got.drive, c.expected.drive) << c.why;
    EXPECT_EQ(got.directory, c.expected.directory) << c.why;
    EXPECT_EQ(got.name, c.expected.name) << c.why;
    EXPECT_EQ(got.extension, c.expected.extension) << c.why;
  }
}

struct OutputCase {
  std::string exe;
  std::string input;
  char separator;
  std::string out_dir;
  std::string out_file;
};

TEST(OutputPaths, FollowTheExecutableAndTheInputName) {
  const std::vector<OutputCase> cases = {
      {"D:\\tools\\quillet.exe", "C:\\mail\\inbox.mbx", '\\', "D:\\tools\\quillet_out",
       "D:\\tools\\quillet_out\\inbox_$$$.mbx"},
      {"D:\\tools\\quillet.exe", "inbox", '\\', "D:\\tools\\quillet_out", "D:\\tools\\quillet_out\\inbox_$$$"},
      {"D:\\tools\\quillet.exe", "..\\old.inbox.txt", '\\', "D:\\tools\\quillet_out",
       "D:\\tools\\quillet_out\\old.inbox_$$$.txt"},
      {"/opt/q/quillet", "/var/mail/u", '/', "/opt/q/quillet_out", "/opt/q/quillet_out/u_$$$"},
      {"/opt/q/quillet", "../box/a.mbox", '/', "/opt/q/quillet_out", "/opt/q/quillet_out/a_$$$.mbox"},
      {"/opt/q/..", "x.y", '/', "/opt/q/../quillet_out", "/opt/q/../quillet_out/x_$$$.y"},
      {"/opt/q/quillet", "dir/..", '/', "/opt/q/quillet_out", "/opt/q/quillet_out/_$$$"},
  };
  for (const OutputCase& c : cases) {
    std::string dir = output_directory_path(c.exe, c.separator, no_lead);
    EXPECT_EQ(dir, c.out_dir) << c.exe;
    EXPECT_EQ(output_file_path(dir, c.input, c.separator, no_lead), c.out_file) << c.input;
  }
}

TEST(OutputPaths, MultibyteDirectoryEndingIn5CGetsItsSeparator) {
  // The directory text ends in the character 0x95 0x5C, not in a backslash.
  PathParts parts{"C:", "\\\x95\x5C", "quillet_out", ""};
  EXPECT_EQ(join_path(parts, '\\', cp932), "C:\\\x95\x5C\\quillet_out");
  EXPECT_EQ(join_path(parts, '\\', no_lead), "C:\\\x95\x5Cquillet_out");
}

TEST(OutputPaths, OnlyThe260FirstBytesOfTheInputCountAndTheNameIsCutTo255) {
  // 263 bytes: the cut at 260 leaves "...bbbb." whose name part is cut to 255.
  std::string out = output_file_path("/o", std::string(255, 'a') + "bbbb.txt", '/', no_lead);
  EXPECT_EQ(out, "/o/" + std::string(255, 'a') + "_$$$.");
}

}  // namespace

namespace {

TEST(OutputPaths, ALongProgramPathIsNotCut) {
  std::string dir = "/" + std::string(300, 'p') + "/";
  EXPECT_EQ(output_directory_path(dir + "quillet", '/', no_lead), dir + "quillet_out");
}

}  // namespace
