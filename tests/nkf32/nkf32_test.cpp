// Unit tests for the nkf32 converter library (EUC-JP -> Shift-JIS).

#include "nkf32.h"

#include <gtest/gtest.h>

#include <cstdint>
#include <cstring>
#include <random>
#include <string>
#include <vector>

namespace {

// The generated JIS X 0212 -> CP932 table, for the reference converter.
const std::uint16_t kTable0212[94 * 94] = {
#include "jisx0212_cp932.inc"
};

std::string Hex(const std::string &s) {
  static const char kDigits[] = "0123456789ABCDEF";
  std::string r;
  for (unsigned char c : s) {
    if (!r.empty()) r += ' ';
    r += kDigits[c >> 4];
    r += kDigits[c & 15];
  }
  return r;
}

constexpr char kSentinel = '\x5A';
constexpr std::size_t kMargin = 32;

// Converts through the library into a buffer of exactly strlen + 1 bytes
// followed by a sentinel margin, and checks that the margin is untouched
// (the output is never longer than the input).
std::string Convert(const std::string &in) {
  std::vector<char> buf(in.size() + 1 + kMargin, kSentinel);
  NkfConvert(buf.data(), in.c_str());
  for (std::size_t i = in.size() + 1; i < buf.size(); ++i) {
    EXPECT_EQ(buf[i], kSentinel) << "write past strlen(in)+1 at " << i
                                 << " for input " << Hex(in);
  }
  std::string out(buf.data());
  EXPECT_LE(out.size(), in.size()) << "output longer than input " << Hex(in);
  return out;
}

// An independent, deliberately simple implementation of the contract (the
// 0208 arithmetic in nkf's classic jis2sjis formulation).
std::string Reference(const std::string &in) {
  std::string out;
  const auto gr94 = [](unsigned c) { return c >= 0xA1 && c <= 0xFE; };
  std::size_t i = 0;
  const std::size_t n = in.size();
  auto at = [&](std::size_t k) -> unsigned {
    return k < n ? static_cast<unsigned char>(in[k]) : 0u;
  };
  while (i < n) {
    const unsigned c = at(i);
    if (c < 0x80) {
      out += static_cast<char>(c);
      i += 1;
    } else if (gr94(c) && gr94(at(i + 1))) {
      unsigned j1 = c - 0x80, j2 = at(i + 1) - 0x80;
      j2 += (j1 & 1) ? 0x1F : 0x7D;
      if (j2 >= 0x7F) ++j2;
      j1 = ((j1 - 0x21) >> 1) + 0x81;
      if (j1 > 0x9F) j1 += 0x40;
      out += static_cast<char>(j1);
      out += static_cast<char>(j2);
      i += 2;
    } else if (c == 0x8E && at(i + 1) >= 0xA1 && at(i + 1) <= 0xDF) {
      out += static_cast<char>(at(i + 1));
      i += 2;
    } else if (c == 0x8F && gr94(at(i + 1)) && gr94(at(i + 2))) {
      unsigned v = kTable0212[(at(i + 1) - 0xA1) * 94 + (at(i + 2) - 0xA1)];
      if (v == 0) v = 0x81AC;
      out += static_cast<char>(v >> 8);
      out += static_cast<char>(v & 0xFF);
      i += 3;
    } else {
      out += static_cast<char>(c);
      i += 1;
    }
  }
  return out;
}

struct Case {
  const char *name;
  std::string in;
  std::string want;
};

void PrintTo(const Case &c, std::ostream *os) {
  *os << c.name << " {" << Hex(c.in) << "}";
}

class ConvertTable : public ::testing::TestWithParam<Case> {};

TEST_P(ConvertTable, GivesExpectedBytes) {
  const Case &c = GetParam();
  EXPECT_EQ(Hex(Convert(c.in)), Hex(c.want)) << "input " << Hex(c.in);
}

const Case kAsciiCases[] = {
    {"Empty", "", ""},
    {"PlainAscii", "Hello, world! 0123 ~{|}", "Hello, world! 0123 ~{|}"},
    {"ControlsAndCrLf", "a\tb\r\nc\x01\x7F", "a\tb\r\nc\x01\x7F"},
    {"Iso2022JpEscapes", "\x1B$B$\"$$\x1B(B ok\x1B(J", "\x1B$B$\"$$\x1B(B ok\x1B(J"},
    {"MimeEncodedWord", "Subject: =?ISO-2022-JP?B?GyRCJEYkOSRIGyhC?=",
     "Subject: =?ISO-2022-JP?B?GyRCJEYkOSRIGyhC?="},
    {"LongAsciiRun", std::string(1000, 'x') + "y", std::string(1000, 'x') + "y"},
};
INSTANTIATE_TEST_SUITE_P(Ascii, ConvertTable, ::testing::ValuesIn(kAsciiCases),
                         [](const auto &info) { return std::string(info.param.name); });

const Case kJisX0208Cases[] = {
    {"Hiragana_A", "\xA4\xA2", "\x82\xA0"},              // あ
    {"Kanji_Kan", "\xB4\xC1", "\x8A\xBF"},               // 漢
    {"Ideographic_Space", "\xA1\xA1", "\x81\x40"},       // row 1 cell 1
    {"Row1_Cell63", "\xA1\xDF", "\x81\x7E"},             // trail skips 7F
    {"Row1_Cell64", "\xA1\xE0", "\x81\x80"},
    {"Row1_Cell94", "\xA1\xFE", "\x81\x9E"},
    {"Row2_Cell1", "\xA2\xA1", "\x81\x9F"},
    {"Row2_Cell94", "\xA2\xFE", "\x81\xFC"},
    {"Row13_CircledOne", "\xAD\xA1", "\x87\x40"},        // ①, NEC row 13
    {"Row13_Cell94", "\xAD\xFE", "\x87\x9E"},
    {"Row9_Unassigned", "\xA9\xA1", "\x85\x40"},         // unassigned cell
    {"Row62_Cell94", "\xDE\xFE", "\x9F\xFC"},            // last lead below A0
    {"Row63_Cell1", "\xDF\xA1", "\xE0\x40"},             // lead jumps to E0
    {"Row84_Cell6", "\xF4\xA6", "\xEA\xA4"},             // 熙, last JIS kanji
    {"Row85_Cell1", "\xF5\xA1", "\xEB\x40"},
    {"Row89_Cell1", "\xF9\xA1", "\xED\x40"},             // NEC-selected area
    {"Row92_Cell94", "\xFC\xFE", "\xEE\xFC"},
    {"Row94_Cell1", "\xFE\xA1", "\xEF\x9F"},
    {"Row94_Cell94", "\xFE\xFE", "\xEF\xFC"},
    {"MixedText", "Re: \xA4\xB3\xA4\xF3\xA4\xCB\xA4\xC1\xA4\xCF!\n",
     "Re: \x82\xB1\x82\xF1\x82\xC9\x82\xBF\x82\xCD!\n"},  // こんにちは
};
INSTANTIATE_TEST_SUITE_P(JisX0208, ConvertTable, ::testing::ValuesIn(kJisX0208Cases),
                         [](const auto &info) { return std::string(info.param.name); });

const Case kKatakanaCases[] = {
    {"First", "\x8E\xA1", "\xA1"},
    {"Ka", "\x8E\xB6", "\xB6"},
    {"Last", "\x8E\xDF", "\xDF"},
    {"Run", "\x8E\xB1\x8E\xB2\x8E\xB3" "a", "\xB1\xB2\xB3" "a"},
};
INSTANTIATE_TEST_SUITE_P(HalfWidthKatakana, ConvertTable,
                         ::testing::ValuesIn(kKatakanaCases),
                         [](const auto &info) { return std::string(info.param.name); });

// Expected values checked against `iconv -f EUC-JP -t CP932`.
const Case kJisX0212Cases[] = {
    {"Deng_IbmExt", "\x8F\xE2\xC7", "\xFB\xB9"},          // 鄧 (family name)
    {"Kun_IbmExt", "\x8F\xB0\xA9", "\xFA\x68"},           // 丨
    {"LastMappedKanji", "\x8F\xEC\xD6", "\xFC\x4A"},      // 鸙
    {"Numero_NecSpecial", "\x8F\xA2\xF1", "\x87\x82"},    // №
    {"Tilde", "\x8F\xA2\xB7", "\x81\x60"},                // ～
    {"Unmapped_Kanji", "\x8F\xB0\xA1", "\x81\xAC"},       // 丂 -> geta
    {"Unmapped_BrokenBar", "\x8F\xA2\xC3", "\x81\xAC"},   // ¦ -> geta
    {"Unassigned_FirstCell", "\x8F\xA1\xA1", "\x81\xAC"},
    {"Unassigned_LastCell", "\x8F\xFE\xFE", "\x81\xAC"},
    {"InText", "a\x8F\xE2\xC7" "b\x8F\xB0\xA1" "c", "a\xFB\xB9" "b\x81\xAC" "c"},
};
INSTANTIATE_TEST_SUITE_P(JisX0212, ConvertTable, ::testing::ValuesIn(kJisX0212Cases),
                         [](const auto &info) { return std::string(info.param.name); });

const Case kMalformedCases[] = {
    {"LoneLeadAtEnd", "\xA1", "\xA1"},
    {"LoneLeadAfterText", "ab\xA4\xA2\xA4", "ab\x82\xA0\xA4"},
    {"LeadThenAscii", "\xA1" "A", "\xA1" "A"},
    {"LeadThen80", "\xA1\x80", "\xA1\x80"},
    {"LeadThenA0", "\xA1\xA0", "\xA1\xA0"},
    {"LeadThenFF", "\xA1\xFF", "\xA1\xFF"},
    {"FFThenPair", "\xFF\xA4\xA2", "\xFF\x82\xA0"},
    {"KanaLeadAtEnd", "\x8E", "\x8E"},
    {"KanaLeadThenAscii", "\x8E" "A", "\x8E" "A"},
    {"KanaLeadThenA0", "\x8E\xA0", "\x8E\xA0"},
    {"KanaLeadThenE0AtEnd", "\x8E\xE0", "\x8E\xE0"},
    {"KanaLeadThenPair", "\x8E\xE0\xA1", "\x8E\xE0\x9F"},  // resumes at E0
    {"KanaLeadTwice", "\x8E\x8E\xB1", "\x8E\xB1"},
    {"X0212LeadAtEnd", "\x8F", "\x8F"},
    {"X0212OneByteAtEnd", "\x8F\xE2", "\x8F\xE2"},
    {"X0212ThenAscii", "\x8F\x41\x42", "\x8F\x41\x42"},
    {"X0212SecondBad", "\x8F\xA1\x41", "\x8F\xA1\x41"},
    {"X0212SecondFF", "\x8F\xA1\xFF", "\x8F\xA1\xFF"},
    {"X0212LeadTwice", "\x8F\x8F\xE2\xC7", "\x8F\xFB\xB9"},
    {"X0212ThenBadThenPair", "\x8F\xA4\x41\xA4\xA2", "\x8F\xA4\x41\x82\xA0"},
    {"X0212Row4IsGetaThenLone", "\x8F\xA4\xA2\xA4", "\x81\xAC\xA4"},
    {"X0212ThenKana", "\x8F\x8E\xB1", "\x8F\xB1"},
    {"C1Bytes", "\x80\x81\x8D\x90\x9F\xA0", "\x80\x81\x8D\x90\x9F\xA0"},
};
INSTANTIATE_TEST_SUITE_P(Malformed, ConvertTable, ::testing::ValuesIn(kMalformedCases),
                         [](const auto &info) { return std::string(info.param.name); });

TEST(Malformed, EveryStrayByteIsCopied) {
  // 80..8D, 90..A0 and FF are never lead bytes: copied, in any position.
  for (unsigned b = 0x80; b <= 0xFF; ++b) {
    if (b == 0x8E || b == 0x8F || (b >= 0xA1 && b <= 0xFE)) continue;
    const char c = static_cast<char>(b);
    for (const std::string &in :
         {std::string(1, c), std::string("x") + c + "y", std::string(2, c),
          std::string(1, c) + "\xA4\xA2"}) {
      std::string want = in;
      if (in.size() == 3 && in[1] == '\xA4') want = std::string(1, c) + "\x82\xA0";
      EXPECT_EQ(Hex(Convert(in)), Hex(want)) << "byte " << b;
    }
  }
}

TEST(Option, OnlySIsAccepted) {
  EXPECT_EQ(SetNkfOption("s"), 0);
  EXPECT_EQ(SetNkfOption(nullptr), -1);
  EXPECT_EQ(SetNkfOption(""), -1);
  EXPECT_EQ(SetNkfOption("-s"), -1);
  EXPECT_EQ(SetNkfOption("e"), -1);
  EXPECT_EQ(SetNkfOption("s "), -1);
  EXPECT_EQ(SetNkfOption("ss"), -1);
  EXPECT_EQ(SetNkfOption("S"), -1);
}

TEST(Option, ConversionIsTheSameWhateverTheOption) {
  const std::string in = "a\xB4\xC1\x8E\xB1\x8F\xE2\xC7";
  const std::string want = "a\x8A\xBF\xB1\xFB\xB9";
  EXPECT_EQ(Hex(Convert(in)), Hex(want));
  EXPECT_EQ(SetNkfOption("bogus"), -1);
  EXPECT_EQ(Hex(Convert(in)), Hex(want));
  EXPECT_EQ(SetNkfOption("s"), 0);
  EXPECT_EQ(Hex(Convert(in)), Hex(want));
}

TEST(Calls, AreIndependent) {
  // A lead byte at the end of one call never pairs with the next call.
  EXPECT_EQ(Hex(Convert("\xA4")), Hex("\xA4"));
  EXPECT_EQ(Hex(Convert("\xA2")), Hex("\xA2"));
  EXPECT_EQ(Hex(Convert("\x8F\xE2")), Hex("\x8F\xE2"));
  EXPECT_EQ(Hex(Convert("\xC7")), Hex("\xC7"));
  EXPECT_EQ(Hex(Convert("\x8E")), Hex("\x8E"));
  EXPECT_EQ(Hex(Convert("\xB1")), Hex("\xB1"));
}

TEST(Calls, NullArguments) {
  char out[4] = {'x', 'x', 'x', 'x'};
  NkfConvert(out, nullptr);
  EXPECT_EQ(out[0], '\0');
  NkfConvert(nullptr, "abc");  // must not crash
}

TEST(Calls, InPlaceConversion) {
  // The katakana and 0212 characters shrink the text, so the later ASCII
  // and kanji blocks are written behind the bytes being read.
  std::string kanji;
  for (int i = 0; i < 40; ++i) kanji += (i % 2) ? "\xB4\xC1" : "\xA4\xA2";
  std::string text = std::string(37, 'a') + "\xA4\xA2\x8E\xB1\x8F\xE2\xC7" +
                     std::string(20, 'b') + kanji + "\x8E\xB6" + kanji + "c" +
                     std::string(40, 'd') + kanji.substr(0, 22) + "\xB4\xC1\xA1";
  const std::string want = Reference(text);
  std::vector<char> buf(text.begin(), text.end());
  buf.push_back('\0');
  NkfConvert(buf.data(), buf.data());
  EXPECT_EQ(Hex(std::string(buf.data())), Hex(want));
}

// Every string of up to 4 bytes over the interesting byte classes, against
// the reference; also checks output <= input (in Convert).
TEST(Exhaustive, ShortStringsOverInterestingBytes) {
  const unsigned char kBytes[] = {0x01, 0x0A, 0x41, 0x7F, 0x80, 0x8D, 0x8E, 0x8F,
                                  0x90, 0xA0, 0xA1, 0xB0, 0xDF, 0xE0, 0xE2, 0xC7,
                                  0xFE, 0xFF};
  const std::size_t k = sizeof kBytes;
  int failures = 0;
  for (std::size_t len = 0; len <= 4 && failures < 10; ++len) {
    std::size_t total = 1;
    for (std::size_t i = 0; i < len; ++i) total *= k;
    for (std::size_t n = 0; n < total && failures < 10; ++n) {
      std::string in;
      for (std::size_t i = 0, m = n; i < len; ++i, m /= k) in += static_cast<char>(kBytes[m % k]);
      const std::string got = Convert(in);
      const std::string want = Reference(in);
      if (got != want) {
        ++failures;
        ADD_FAILURE() << "input " << Hex(in) << ": got " << Hex(got) << " want " << Hex(want);
      }
    }
  }
}

// Random text mixing ASCII runs and JIS X 0208 runs (to exercise the block
// paths at every alignment and length) with every kind of multibyte and
// broken sequence; converted both into a separate buffer and in place.
TEST(Random, MatchesReference) {
  std::mt19937 rng(20240607);
  int failures = 0;
  for (int iter = 0; iter < 30000 && failures < 10; ++iter) {
    std::string in;
    const int pieces = static_cast<int>(rng() % 12);
    for (int p = 0; p < pieces; ++p) {
      switch (rng() % 8) {
        case 0: in.append(rng() % 40, static_cast<char>('a' + rng() % 26)); break;
        case 7:
          for (unsigned n = rng() % 24; n > 0; --n) {
            in += static_cast<char>(0xA1 + rng() % 94);
            in += static_cast<char>(0xA1 + rng() % 94);
          }
          break;
        case 1: in += static_cast<char>(0xA1 + rng() % 94);
                in += static_cast<char>(0xA1 + rng() % 94); break;
        case 2: in += '\x8E'; in += static_cast<char>(0xA1 + rng() % 63); break;
        case 3: in += '\x8F'; in += static_cast<char>(0xA1 + rng() % 94);
                in += static_cast<char>(0xA1 + rng() % 94); break;
        case 4: in += static_cast<char>(1 + rng() % 255); break;
        case 5: in += static_cast<char>(0x80 + rng() % 128); break;
        default: in += static_cast<char>(1 + rng() % 127); break;
      }
    }
    const std::string want = Reference(in);
    const std::string got = Convert(in);
    std::vector<char> inplace(in.c_str(), in.c_str() + in.size() + 1);
    NkfConvert(inplace.data(), inplace.data());
    const std::string got_inplace(inplace.data());
    if (got != want || got_inplace != want) {
      ++failures;
      ADD_FAILURE() << "input " << Hex(in) << ": got " << Hex(got) << ", in place "
                    << Hex(got_inplace) << ", want " << Hex(want);
    }
  }
}

// Same input at every start alignment: the fast path must not depend on it.
TEST(Random, AlignmentDoesNotMatter) {
  const std::string text = "From: \xA4\xA2 <a@b>\n" + std::string(29, 'z') +
                           "\xB4\xC1\xBB\xFA\x8E\xB6\x8F\xE2\xC7 tail\xA1";
  const std::string want = Reference(text);
  for (std::size_t off = 0; off < 16; ++off) {
    std::vector<char> in(off + text.size() + 1, 'q');
    std::memcpy(in.data() + off, text.c_str(), text.size() + 1);
    std::vector<char> out(text.size() + 1 + 16, kSentinel);
    NkfConvert(out.data() + (off * 3) % 8, in.data() + off);
    EXPECT_EQ(Hex(std::string(out.data() + (off * 3) % 8)), Hex(want)) << "offset " << off;
  }
}

}  // namespace
