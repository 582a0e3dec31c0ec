// The split of a registered image path into argv, which every simulated service start relies on:
// the program name by its own rule (up to the closing quote or a blank, backslashes plain), then
// the C runtime's rules for the arguments.
#include <ksim/Services.h>

#include <gtest/gtest.h>

#include <string>
#include <vector>

namespace {

struct SplitCase {
  const char* line;
  std::vector<std::string> argv;
};

TEST(SplitCommandLine, FollowsTheRuntimesRules) {
  const SplitCase cases[] = {
      {"C:\\korvlog\\korvlog.exe -d velk4,qtr", {"C:\\korvlog\\korvlog.exe", "-d", "velk4,qtr"}},
      {"\"D:\\my svc\\evtsvc.exe\" -d velk4", {"D:\\my svc\\evtsvc.exe", "-d", "velk4"}},
      // The program name takes backslashes as they are, even before its closing quote.
      {"\"D:\\dir\\\\\" x", {"D:\\dir\\\\", "x"}},
      {"\"D:\\my svc\\evtsvc.exe", {"D:\\my svc\\evtsvc.exe"}},
      {"", {""}},
      {"k.exe \t a\t\tb  ", {"k.exe", "a", "b"}},
      {"k.exe \"a b\" c", {"k.exe", "a b", "c"}},
      {"k.exe a\"b c\"d", {"k.exe", "ab cd"}},
      {"k.exe \"\" x", {"k.exe", "", "x"}},
      {"k.exe a\\b\\\\c d\\", {"k.exe", "a\\b\\\\c", "d\\"}},
      // 2n backslashes before a quote are n and the quote groups; 2n+1 are n and a quote.
      {"k.exe a\\\\\"b c\"", {"k.exe", "a\\b c"}},
      {"k.exe a\\\"b", {"k.exe", "a\"b"}},
      {"k.exe a\\\\\\\"b", {"k.exe", "a\\\"b"}},
      {"k.exe \"C:\\dir\\\\\" x", {"k.exe", "C:\\dir\\", "x"}},
      // Two quotes inside quotes are one quote; outside, an empty group.
      {"k.exe \"a\"\"b\"", {"k.exe", "a\"b"}},
      {"k.exe a\"\"b", {"k.exe", "ab"}},
      {"k.exe \"a b ", {"k.exe", "a b "}},
  };
  for (const SplitCase& c : cases) EXPECT_EQ(c.argv, ksim::SplitCommandLine(c.line)) << "line: " << c.line;
}

}  // namespace
