// The web desks' JSON reader: what it takes, what it refuses, and its bounds; and the escape of
// what the desks are sent.
#include "hosting/untJson.h"

#include <gtest/gtest.h>

namespace {

TEST(JsonReader, TakesOnlyStrictJsonWithinItsBounds) {
  struct Case {
    std::string sText;
    bool bAccepted;
  };
  const Case vCases[] = {
      {R"({"code":"x","queues":[10001,"sales"],"on":true,"off":false})", true},
      {R"( [ -0.5e+3 , 1E2 , "\u00e3\ud83d\ude00\n" ] )", true},
      {"null", false},                                  // not one of the kinds a desk sends
      {R"({"a":1,})", false},                           // trailing comma
      {R"({"a":1,"a":2})", false},                      // duplicate member
      {R"({"a":1} x)", false},                          // bytes after the value
      {R"("\ud800")", false},                           // lone surrogate
      {"\"tab\tinside\"", false},                       // raw control character
      {"01", false},                                    // leading zero
      {"[1,]", false},
      {"'single'", false},
      {"[[[[1]]]]", true},                              // four levels: the bound
      {"[[[[[1]]]]]", false},                           // five
      {"[" + std::string(20000, '1') + "]", false},     // longer than a message may be
      {"[" + [] { std::string s; for (int n = 0; n < 5000; ++n) s += "1,"; return s; }() + "1]", false},  // too many values
  };
  for (const Case& c : vCases) {
    SCOPED_TRACE(c.sText.substr(0, 60));
    TJsonValue t;
    std::string sError;
    EXPECT_EQ(ParseJson(c.sText, t, sError), c.bAccepted) << sError;
    if (!c.bAccepted) {
      EXPECT_FALSE(sError.empty());
    }
  }
}

TEST(JsonReader, DecodesEscapesToUtf8) {
  TJsonValue t;
  std::string sError;
  ASSERT_TRUE(ParseJson(R"(["a\"b\\c\/d\u00e3\ud83d\ude00"])", t, sError)) << sError;
  EXPECT_EQ(t.vItems[0].sText, "a\"b\\c/d\xC3\xA3\xF0\x9F\x98\x80");
}

TEST(JsonQuote, EscapesQuotesBackslashesAndEveryControlCharacter) {
  EXPECT_EQ(JsonQuote(std::string("a\"b\\c\r\n\t\x01\x7F\xC3\xA3", 12)), "\"a\\\"b\\\\c\\r\\n\\t\\u0001\\u007f\xC3\xA3\"");
  // What it writes, the reader takes back unchanged.
  const std::string sText = std::string("x\x02y\"\\z\xE2\x82\xAC", 10);
  TJsonValue t;
  std::string sError;
  ASSERT_TRUE(ParseJson(JsonQuote(sText), t, sError)) << sError;
  EXPECT_EQ(t.sText, sText);
}

}  // namespace
