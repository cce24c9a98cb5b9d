#include <gtest/gtest.h>

#include "platform/Mbcs.h"
#include "platform/String.h"

namespace {

TEST(CStringTest, FormatGrowsPastSmallBuffer) {
  CString s;
  s.Format("%s-%d", std::string(300, 'x').c_str(), 42);
  EXPECT_EQ(s.GetLength(), 303);
  EXPECT_EQ(s.Right(3), "-42");
  s.AppendFormat("{%d:%u}", -1, 7u);
  EXPECT_EQ(s.Right(9), "-42{-1:7}");
}

TEST(CStringTest, SubstringsClampInsteadOfOverrunning) {
  CString s("abcdef");
  EXPECT_EQ(s.Mid(2), "cdef");
  EXPECT_EQ(s.Mid(2, 2), "cd");
  EXPECT_EQ(s.Mid(10), "");
  EXPECT_EQ(s.Mid(-3, 2), "ab");
  EXPECT_EQ(s.Left(99), "abcdef");
  EXPECT_EQ(s.Right(-1), "");
  EXPECT_EQ(s.Find("cd"), 2);
  EXPECT_EQ(s.Find("cd", 3), -1);
  EXPECT_EQ(s.Find('a', 7), -1);
  EXPECT_EQ(CString("a\\b\\c").ReverseFind('\\'), 3);
  s.Delete(4, 100);
  EXPECT_EQ(s, "abcd");
  s.Delete(-1, 1);
  EXPECT_EQ(s, "bcd");
}

TEST(CStringTest, ReplaceAndCaseLeaveGbkBytesAlone) {
  CString s("{a=\"x\"} and {b}");
  EXPECT_EQ(s.Replace("{", "("), 2);
  EXPECT_EQ(s.Replace('"', '\''), 2);
  EXPECT_EQ(s, "(a='x'} and (b}");
  // "\xB0\x61" is one GBK character whose trail byte is 'a': it must survive.
  CString g("\xB0\x61x");
  g.MakeUpper();
  EXPECT_EQ(g, "\xB0\x61X");
}

TEST(MbcsTest, AsciiFoldsButDoubleByteCharactersCompareExactly) {
  EXPECT_EQ(_mbsicmp("rec_num", "REC_NUM"), 0);
  EXPECT_EQ(_mbsicmp("\xB0\x61", "\xB0\x41"), 1);  // trail bytes 'a' and 'A' differ
  EXPECT_NE(_mbsicmp("\xB0\x61", "\xB0\x41"), 0);
  EXPECT_EQ(_mbsicmp("\xD6\xD0x", "\xD6\xD0X"), 0);
  EXPECT_LT(_mbsicmp("abc", "abd"), 0);
  EXPECT_LT(_mbsicmp("ab", "abc"), 0);
  EXPECT_GT(_mbscmp("20261207", "20261206"), 0);
  EXPECT_EQ(_mbsicmp(static_cast<const char*>(nullptr), ""), -1);
}

}  // namespace
