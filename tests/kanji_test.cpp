#include "kanji/kanji.h"

#include <gtest/gtest.h>

#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <string>
#include <vector>

#include <unistd.h>

namespace {

const LeadBytes no_lead{};
const LeadBytes cp932 = cp932_lead_bytes();

struct CandidateCase {
  std::string dir;
  unsigned n;
  bool multibyte;
  std::string expected;
  const char* why;
};

TEST(TempCandidate, ComposesDirectoryPrefixAndCounter) {
  const std::vector<CandidateCase> cases = {
      {"", 0, false, "_tmp_0", "current directory"},
      {"", 999, false, "_tmp_999", "eight characters need no dot"},
      {"", 1000, false, "_tmp_100.0", "a dot after the eighth character"},
      {"", 65534, false, "_tmp_655.34", "largest counter"},
      {"C:\\TEMP", 0, false, "C:\\TEMP\\_tmp_0", "separator appended"},
      {"C:\\TEMP\\", 0, false, "C:\\TEMP\\_tmp_0", "no doubled separator"},
      {"/tmp/", 2, false, "/tmp/_tmp_2", "slash counts as separator"},
      {"C:", 0, false, "C:_tmp_0", "a drive alone needs no separator"},
      {"C:\\\x95\x5C", 0, true, "C:\\\x95\x5C\\_tmp_0", "0x5C as a second byte is no separator"},
  };
  for (const CandidateCase& c : cases) {
    EXPECT_EQ(temp_candidate(c.dir, "_tmp_", c.n, '\\', c.multibyte ? cp932 : no_lead), c.expected) << c.why;
  }
}

struct PieceEndCase {
  std::string text;
  size_t expected;
  const char* why;
};

TEST(EucPieceEnd, NeverCutsACharacterInTwo) {
  const std::string a254(254, 'a');
  const std::string a253(253, 'a');
  const std::vector<PieceEndCase> cases = {
      {std::string(255, 'a'), 255, "ASCII"},
      {a254 + "\xA4", 254, "JIS X 0208 lead byte at the end"},
      {a253 + "\xA4\xA2", 255, "complete pair at the end"},
      {a254 + "\x8E", 254, "half-width katakana lead at the end"},
      {a253 + "\x8F\xB0", 253, "JIS X 0212 cut after two bytes"},
      {a254 + "\x8F", 254, "JIS X 0212 cut after one byte"},
      {std::string(252, 'a') + "\x8F\xB0\xA1", 255, "complete JIS X 0212 at the end"},
      {a253 + "\xA4\x41", 255, "invalid second byte: the lead byte stands alone"},
      {a254 + "\xFF", 255, "a byte that opens nothing"},
  };
  for (const PieceEndCase& c : cases) {
    EXPECT_EQ(euc_piece_end(c.text.data(), c.text.size()), c.expected) << c.why;
  }
}

// A stand-in converter: upper-cases ASCII, so it is visible what went through it.
void CONVERTER_CALL upper_case(char* out, const char* in) {
  while (*in != '\0') {
    char c = *in++;
    *out++ = (c >= 'a' && c <= 'z') ? static_cast<char>(c - 'a' + 'A') : c;
  }
  *out = '\0';
}

TEST(ConvertPiece, WritesNulBytesItselfAndConvertsTheTextBetween) {
  const std::vector<std::pair<std::string, std::string>> cases = {
      {"abc\n", "ABC\n"},
      {std::string("ab\0cd\n", 6), std::string("AB\0CD\n", 6)},
      {std::string("\0\0x", 3), std::string("\0\0X", 3)},
      {std::string("x\0", 2), std::string("X\0", 2)},
      {"", ""},
  };
  for (const auto& [in, expected] : cases) {
    char out[4 * 256];
    size_t n = convert_piece(upper_case, in.data(), in.size(), out);
    EXPECT_EQ(std::string(out, n), expected);
  }
}

// Runs each test in a fresh current directory with TMP unset.
class TempNameTest : public ::testing::Test {
 protected:
  void SetUp() override {
    old_cwd_ = std::filesystem::current_path();
    char pattern[] = "/tmp/quillet_kanji_XXXXXX";
    ASSERT_NE(mkdtemp(pattern), nullptr);
    dir_ = pattern;
    std::filesystem::current_path(dir_);
    unsetenv("TMP");
    unsetenv("tmp");
  }
  void TearDown() override {
    std::filesystem::current_path(old_cwd_);
    std::filesystem::remove_all(dir_);
    unsetenv("TMP");
    unsetenv("tmp");
  }
  static void touch(const std::filesystem::path& p) { std::ofstream(p) << "x"; }

  std::filesystem::path old_cwd_;
  std::filesystem::path dir_;
};

TEST_F(TempNameTest, TakesTheFirstFreeNameInTheCurrentDirectory) {
  std::string name;
  ASSERT_TRUE(find_temp_name("_tmp_", name, nullptr));
  EXPECT_EQ(name, "_tmp_0");
  touch("_tmp_0");
  touch("_tmp_1");
  ASSERT_TRUE(find_temp_name("_tmp_", name, nullptr));
  EXPECT_EQ(name, "_tmp_2");
}

TEST_F(TempNameTest, PrefersTmpWithOrWithoutTrailingSeparator) {
  std::filesystem::create_directory(dir_ / "t");
  std::string name;
  for (std::string tmp : {(dir_ / "t").string(), (dir_ / "t").string() + "/"}) {
    setenv("TMP", tmp.c_str(), 1);
    ASSERT_TRUE(find_temp_name("_tmp_", name, nullptr));
    EXPECT_EQ(name, (dir_ / "t" / "_tmp_0").string());
  }
  unsetenv("TMP");
  setenv("tmp", (dir_ / "t").c_str(), 1);
  ASSERT_TRUE(find_temp_name("_tmp_", name, nullptr));
  EXPECT_EQ(name, (dir_ / "t" / "_tmp_0").string()) << "the name TMP is matched without regard to case";
}

TEST_F(TempNameTest, CreationPassesOverAPlantedLink) {
  std::filesystem::create_symlink(dir_ / "victim", "_tmp_0");  // dangling: the existence test misses it
  std::string name;
  FILE* f = nullptr;
  ASSERT_TRUE(find_temp_name("_tmp_", name, &f));
  ASSERT_NE(f, nullptr);
  std::fclose(f);
  EXPECT_EQ(name, "_tmp_1");
  EXPECT_FALSE(std::filesystem::exists(dir_ / "victim"));
}

TEST_F(TempNameTest, CreationFallsBackToTheCurrentDirectoryWhenTmpIsAFile) {
  touch("plain");
  setenv("TMP", (dir_ / "plain").c_str(), 1);
  std::string name;
  FILE* f = nullptr;
  ASSERT_TRUE(find_temp_name("_tmp_", name, &f));
  std::fclose(f);
  EXPECT_EQ(name, "_tmp_0");
}

TEST_F(TempNameTest, RejectsAPrefixLongerThanFive) {
  std::string name;
  EXPECT_FALSE(find_temp_name("_temp_", name, nullptr));
}

}  // namespace
