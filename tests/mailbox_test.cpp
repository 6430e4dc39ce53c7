#include "mailbox/mailbox.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

namespace {

struct DateCase {
  std::string text;
  int expected;
  const char* why;
};

TEST(CheckFromDate, JudgesTheShapeAroundTheFirstColon) {
  const std::vector<DateCase> cases = {
      {"From a Wed Oct 13 14:23:52 2003\n", 0, "ordinary separator"},
      {"From a Wed Oct  3 14:23:52 2003\n", 0, "two blanks before a one-digit day keep the width"},
      {"From d Thu Jan 2 10:20:30 2003\n", -1, "single blank before a one-digit day shifts the window"},
      {"From a Wed Oct 13 4:05:00 2003\n", -1, "one-digit hour shifts the window"},
      {"From a Wed Oct 13 14:23:52 JST 2003\n", -1, "time zone before the year"},
      {"From a Wed Oct 13 14:23:522003\n", 0, "no blank between seconds and year"},
      {"From a Wed Oct 13 14:23:52 +2003\n", 0, "signed year"},
      {"From a Xyz Abc 13 14:23:52 2003\n", 0, "weekday and month are not compared with names"},
      {"From a Wed Oct 13 14:23:52\n", -1, "line ends right after the seconds"},
      {"From a Wed Oct 13 14:23:52", -1, "text ends right after the seconds"},
      {"From a Wed Oct 13 14 :23:52 2003\n", -1, "no white space is skipped before a colon"},
      {"From a Wed Oct 13 14: 23: 52 2003\n", 0, "white space before an integer is skipped"},
      {"From a Wed Oct 13 14:2x:52 2003\n", -1, "minutes need a digit before the colon"},
      {"From a Wed Oct 13 14:23:52 x\n", -1, "year needs a digit"},
      {"From a Wed Oct 13 14:23:52 -\n", -1, "a sign alone is no year"},
      {"From here on, nothing\n", -1, "no colon"},
      {"", -1, "empty text"},
      {"Subject: x\n", -1, "colon within the first 13 bytes"},
      {"Date: Wed Oct 13 14:23:52 2003\n", -1, "colon at byte 4 cannot have a window before it"},
      {"From a:b Wed Oct 13 14:23:52 2003\n", -1, "colon in the sender anchors the window there"},
      {">From x Wed Oct 13 14:23:52 2003\n", 0, "the date test alone does not look at From"},
      {"xxxxxxxxxxxxxxxxxxxxxxxxxxWed Oct 13 14:23:52 2003", 0, "the window may start anywhere"},
      {std::string("From a Wed Oct 13 14\0:23:52 2003\n", 34), -1, "text ends at the first NUL"},
  };
  for (const DateCase& c : cases) {
    EXPECT_EQ(check_from_date(c.text.data(), c.text.size()), c.expected) << c.why << ": " << c.text;
  }
}

TEST(CheckFromDate, NulTerminatedFormAgreesWithSizedForm) {
  EXPECT_EQ(check_from_date("From a Wed Oct 13 14:23:52 2003\n"), 0);
  EXPECT_EQ(check_from_date("Subject: x\n"), -1);
}

const std::string delim = std::string(delimiter_line) + "\r\n";

std::string crlf(const std::vector<std::string>& lines) {
  std::string out;
  for (const std::string& line : lines) out += line + "\r\n";
  return out;
}

struct RewriteCase {
  const char* name;
  std::string input;
  RewriteStatus status;
  std::string output;
};

const std::string sep1 = "From a Wed Oct 13 14:23:52 2003\n";
const std::string sep2 = "From b Thu Oct 14 09:05:00 2003\n";

TEST(RewriteMailbox, ProducesTheShurikenForm) {
  const std::string long_body(600, 'x');
  const std::string long_sep = "From a Wed Oct 13 14:23:52 2003 " + std::string(400, 'r') + "\n";
  const std::vector<RewriteCase> cases = {
      {"worked example",
       sep1 + "Subject: one\n\nbody one\n\n" + sep2 + "Subject: two\n\nbody two\n\n", RewriteStatus::converted,
       delim + crlf({"Subject: one", "", "body one"}) + delim + crlf({"Subject: two", "", "body two"})},
      {"CR LF input gives the same output",
       "From a Wed Oct 13 14:23:52 2003\r\nSubject: one\r\n\r\nbody\r\n\r\n", RewriteStatus::converted,
       delim + crlf({"Subject: one", "", "body"})},
      {"lone CRs vanish", sep1 + "Sub\rject: one\n\rbo\rdy\n", RewriteStatus::converted,
       delim + crlf({"Subject: one", "body"})},
      {"0x1A ends the input", sep1 + "Subject: one\nbody\n\x1Alost\n", RewriteStatus::converted,
       delim + crlf({"Subject: one", "body"})},
      {"lines before the first separator are dropped", "junk\nmore junk\n" + sep1 + "Subject: a\n\n",
       RewriteStatus::converted, delim + crlf({"Subject: a"})},
      {"last line without empty line is kept", sep1 + "Subject: a\n\nlast line\n", RewriteStatus::converted,
       delim + crlf({"Subject: a", "", "last line"})},
      {"last line without line feed is kept as is", sep1 + "Subject: a\n\ntail", RewriteStatus::converted,
       delim + crlf({"Subject: a", ""}) + "tail"},
      {"only separator and header keeps the header", sep1 + "Subject: a\n", RewriteStatus::converted,
       delim + crlf({"Subject: a"})},
      {"header before a separator is kept", sep1 + "Subject: a\n" + sep2 + "Subject: b\n\n",
       RewriteStatus::converted, delim + crlf({"Subject: a"}) + delim + crlf({"Subject: b"})},
      {"only the last of several empty lines is dropped", sep1 + "Subject: a\n\n\n\n" + sep2 + "S: b\n",
       RewriteStatus::converted, delim + crlf({"Subject: a", "", ""}) + delim + crlf({"S: b"})},
      {"two separators in a row give two delimiters", sep1 + "Subject: a\n\n" + sep2 + sep2 + "S: b\n",
       RewriteStatus::converted, delim + crlf({"Subject: a"}) + delim + delim + crlf({"S: b"})},
      {"dated From right after the first separator is a header", sep1 + sep2 + "S: b\n",
       RewriteStatus::converted, delim + crlf({sep2.substr(0, sep2.size() - 1), "S: b"})},
      {"lenient first scan takes a quoted From", ">From x Wed Oct 13 14:23:52 2003\nSubject: a\n",
       RewriteStatus::converted, delim + crlf({"Subject: a"})},
      {"time zone separator later is a body line",
       sep1 + "S: a\n\nFrom a Wed Oct 13 14:23:52 JST 2003\n", RewriteStatus::converted,
       delim + crlf({"S: a", "", "From a Wed Oct 13 14:23:52 JST 2003"})},
      {"undated From line is a body line", sep1 + "S: a\n\nFrom here on, we go\n>From a Wed Oct 13 14:23:52 2003\n",
       RewriteStatus::converted, delim + crlf({"S: a", "", "From here on, we go", ">From a Wed Oct 13 14:23:52 2003"})},
      {"long body line before a separator is kept whole", sep1 + "S: a\n" + long_body + "\n" + sep2 + "S: b\n",
       RewriteStatus::converted, delim + crlf({"S: a", long_body}) + delim + crlf({"S: b"})},
      {"long last line without line feed is kept whole", sep1 + "S: a\n" + long_body, RewriteStatus::converted,
       delim + crlf({"S: a"}) + long_body},
      {"line of 255 bytes then line feed keeps its line feed piece",
       sep1 + "S: a\n" + std::string(255, 'y') + "\n" + sep2 + "S: b\n", RewriteStatus::converted,
       delim + crlf({"S: a", std::string(255, 'y')}) + delim + crlf({"S: b"})},
      {"long separator line is consumed whole", sep1 + "S: a\n\n" + long_sep + "S: b\n", RewriteStatus::converted,
       delim + crlf({"S: a"}) + delim + crlf({"S: b"})},
      {"long first separator is consumed whole", long_sep + "S: b\n", RewriteStatus::converted, delim + crlf({"S: b"})},
      {"continuation piece that looks like a separator is body text",
       sep1 + "S: a\n" + std::string(255, 'z') + sep2 + "\n", RewriteStatus::converted,
       delim + crlf({"S: a", std::string(255, 'z') + sep2.substr(0, sep2.size() - 1)})},
      {"From line whose colon lies beyond byte 255 is body text",
       sep1 + "S: a\n\nFrom " + std::string(260, 's') + " Wed Oct 13 14:23:52 2003\n", RewriteStatus::converted,
       delim + crlf({"S: a", "", "From " + std::string(260, 's') + " Wed Oct 13 14:23:52 2003"})},
      {"NUL bytes are copied", sep1 + std::string("S: a\0b\n\0\nbody\0\n", 15), RewriteStatus::converted,
       delim + std::string("S: a\0b\r\n\0\r\nbody\0\r\n", 18)},
      {"NUL hides the rest of a From line from the date test",
       sep1 + "S: a\n\n" + std::string("From a\0 Wed Oct 13 14:23:52 2003\n", 33), RewriteStatus::converted,
       delim + crlf({"S: a", "", std::string("From a\0 Wed Oct 13 14:23:52 2003", 32)})},
      {"empty input", "", RewriteStatus::no_data, ""},
      {"only CRs", "\r\r\r\r", RewriteStatus::no_data, ""},
      {"0x1A first", "\x1A" + sep1 + "S: a\n", RewriteStatus::no_data, ""},
      {"no separator", "Subject: a\nbody\n", RewriteStatus::not_mbox, ""},
      {"date header alone is no separator", "Date: Wed Oct 13 14:23:52 2003\n", RewriteStatus::not_mbox, ""},
      {"separator at the end", "junk\n" + sep1, RewriteStatus::not_mbox, ""},
      {"separator followed by an empty line", sep1 + "\nS: a\n", RewriteStatus::not_mbox, ""},
      {"header check stops at a NUL", sep1 + std::string("S\0: a\n", 6), RewriteStatus::not_mbox, ""},
  };
  for (const RewriteCase& c : cases) {
    std::string out = "untouched";
    RewriteStatus status = rewrite_mailbox_text(c.input, out);
    EXPECT_EQ(status, c.status) << c.name;
    if (c.status == RewriteStatus::converted) {
      EXPECT_EQ(out, c.output) << c.name;
    } else {
      EXPECT_EQ(out, "untouched") << c.name << ": output opened on failure";
    }
  }
}

// Feeds the input a few bytes at a time, so that pieces and CR runs straddle
// every read boundary.
struct TrickleInput {
  std::string_view rest;
  size_t step;
};

size_t read_trickle(void* context, char* buffer, size_t capacity) {
  auto* in = static_cast<TrickleInput*>(context);
  size_t n = std::min({capacity, in->step, in->rest.size()});
  std::copy_n(in->rest.data(), n, buffer);
  in->rest.remove_prefix(n);
  return n;
}

bool open_ok(void*) { return true; }
bool append_to(void* context, const char* data, size_t size) {
  static_cast<std::string*>(context)->append(data, size);
  return true;
}

TEST(RewriteMailbox, SmallReadsGiveTheSameOutput) {
  std::string input = "junk\r\n" + sep1 + "Subject: one\r\n\r\n" + std::string(700, 'q') + "\r\n\r\n" + sep2 +
                      "S: b\n\n\n" + std::string("x\0y\n", 4) + "\n";
  std::string expected;
  ASSERT_EQ(rewrite_mailbox_text(input, expected), RewriteStatus::converted);
  for (size_t step : {1, 2, 3, 7, 254, 255, 256}) {
    TrickleInput in{input, step};
    std::string out;
    EXPECT_EQ(rewrite_mailbox({read_trickle, &in}, {open_ok, append_to, &out}), RewriteStatus::converted);
    EXPECT_EQ(out, expected) << "read size " << step;
  }
}

size_t read_fails(void*, char*, size_t) { return read_error; }
bool open_fails(void*) { return false; }
bool write_fails(void*, const char*, size_t) { return false; }

TEST(RewriteMailbox, ReportsReadOpenAndWriteFailures) {
  std::string out;
  EXPECT_EQ(rewrite_mailbox({read_fails, nullptr}, {open_ok, append_to, &out}), RewriteStatus::read_failed);

  std::string input = sep1 + "S: a\n";
  TrickleInput in{input, 4096};
  EXPECT_EQ(rewrite_mailbox({read_trickle, &in}, {open_fails, append_to, &out}), RewriteStatus::open_failed);

  in = {input, 4096};
  EXPECT_EQ(rewrite_mailbox({read_trickle, &in}, {open_ok, write_fails, nullptr}), RewriteStatus::write_failed);
}

TEST(RewriteMailbox, LinesLongerThanTheBufferPassWhole) {
  std::string huge(3 * 1024 * 1024 + 17, 'h');
  std::string out;
  ASSERT_EQ(rewrite_mailbox_text(sep1 + "S: a\n" + huge + "\n" + sep2 + "S: b\n", out), RewriteStatus::converted);
  EXPECT_EQ(out, delim + crlf({"S: a", huge}) + delim + crlf({"S: b"}));
}

}  // namespace
