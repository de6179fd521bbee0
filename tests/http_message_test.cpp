// Request side of the client: header list, URL rule, exact request bytes, and
// the string helpers the parser relies on. No network.
#include <gtest/gtest.h>

#include <stdexcept>
#include <string>

#include "http/Header.h"
#include "http/Request.h"
#include "http/Strings.h"

namespace {

using sion::Header;
using sion::Method;
using sion::Request;

std::string SourceOf(const Request& r) { return std::string(r.source.begin(), r.source.end()); }

Request Parsed(const std::string& url) {
  Request r;
  r.SetUrl(url).SetMethod(Method::Get);
  r.ParseUrl();
  return r;
}

std::string InvalidArgumentOf(Request r) {
  try {
    r.Send();
  } catch (const std::invalid_argument& e) {
    return e.what();
  }
  return "<no invalid_argument>";
}

TEST(HttpHeader, KeepsOrderAndDuplicatesAndFindsLastLowerCaseKey) {
  Header h;
  h.Add("content-type", "a");
  h.Add("X-Mixed", "m");
  h.Add("content-type", "b");
  ASSERT_EQ(h.Size(), 3u);
  EXPECT_EQ(h.Pairs()[0].second, "a");
  EXPECT_EQ(h.Pairs()[2].second, "b");
  EXPECT_EQ(h.Get("Content-Type"), "b");  // the key asked for is lowered
  EXPECT_EQ(h.Get("X-Mixed"), "");        // stored mixed-case keys are not found
  EXPECT_EQ(h.Get("missing"), "");
}

TEST(HttpStrings, SplitDropsEmptyPiecesAndStopsAtLimit) {
  EXPECT_EQ(sion::Split("HTTP/1.1 404 Not Found", " ", 2),
            (std::vector<std::string>{"HTTP/1.1", "404", "Not Found"}));
  EXPECT_EQ(sion::Split("a\r\n\r\nb\r\n", "\r\n"), (std::vector<std::string>{"a", "b"}));
  EXPECT_EQ(sion::Split("Host: a:b", ":", 1), (std::vector<std::string>{"Host", " a:b"}));
  EXPECT_EQ(sion::Split("", ","), (std::vector<std::string>{""}));        // no find: the whole text
  EXPECT_EQ(sion::Split("abc", ","), (std::vector<std::string>{"abc"}));
  EXPECT_TRUE(sion::Split("\r\n\r\n", "\r\n").empty());                   // only finds: nothing left
}

TEST(HttpStrings, TrimLeavesTextMadeOnlyOfTrimmedCharacters) {
  EXPECT_EQ(sion::Trim(" \r\nvalue \n"), "value");
  EXPECT_EQ(sion::Trim("   "), "   ");
  EXPECT_EQ(sion::Trim("\tx\t"), "\tx\t");  // tabs are not trimmed
}

TEST(HttpStrings, ParseIntReadsLikeStoiWithStableTexts) {
  EXPECT_EQ(sion::ParseInt("  42abc"), 42);
  EXPECT_EQ(sion::ParseInt("-7"), -7);
  EXPECT_EQ(sion::ParseInt("2147483647"), 2147483647);
  try {
    sion::ParseInt("abc");
    FAIL();
  } catch (const std::invalid_argument& e) {
    EXPECT_STREQ(e.what(), "invalid stoi argument");
  }
  try {
    sion::ParseInt("2147483648");
    FAIL();
  } catch (const std::out_of_range& e) {
    EXPECT_STREQ(e.what(), "stoi argument out of range");
  }
}

TEST(HttpUrl, DefaultsPortAndPathFromScheme) {
  Request a = Parsed("http://example.com");
  EXPECT_EQ(a.protocol, "http");
  EXPECT_EQ(a.host, "example.com");
  EXPECT_EQ(a.port, 80);
  EXPECT_EQ(a.path, "/");

  Request b = Parsed("https://api.example.com:8443/a?b=c");
  EXPECT_EQ(b.port, 8443);
  EXPECT_EQ(b.path, "/a?b=c");

  Request c = Parsed("http://h:/x");
  EXPECT_EQ(c.port, 80);
  EXPECT_EQ(c.path, "/x");

  Request d = Parsed("https://h");
  EXPECT_EQ(d.port, 443);

  Request e = Parsed("http://h?x=1#frag");
  EXPECT_EQ(e.path, "?x=1#frag");  // kept as written, need not start with '/'

  Request f = Parsed("http://:81/");
  EXPECT_EQ(f.host, "");
}

TEST(HttpUrl, RefusesOtherSchemesCapitalsAndLineBreaks) {
  const std::string text = "url格式不对或者是用了除http(s)外的协议";
  for (const char* url : {"ftp://h/", "HTTPS://h/", "https//h", "http://h/a\r\nX-Evil: 1"}) {
    Request r;
    r.SetUrl(url).SetMethod(Method::Post);
    EXPECT_EQ(InvalidArgumentOf(r), text) << url;
  }
}

TEST(HttpUrl, PortBeyondIntIsOutOfRange) {
  Request r;
  r.SetUrl("http://h:99999999999/").SetMethod(Method::Get);
  EXPECT_THROW(r.Send(), std::out_of_range);
}

TEST(HttpUrl, MissingMethodIsReportedBeforeABadUrl) {
  Request r;
  r.SetUrl("ftp://bad");
  EXPECT_EQ(InvalidArgumentOf(r), "请求方法未定义");
  r.SetMethod(static_cast<Method>(9));  // unknown values leave the method unset
  EXPECT_EQ(InvalidArgumentOf(r), "请求方法未定义");
}

TEST(HttpSerialise, CallerHeadersThenHostThenContentLengthThenBody) {
  Header h;
  h.Add("content-type", "application/x-www-form-urlencoded");
  Request r;
  r.SetUrl("https://api.example.com/v3/config/client.do").SetBody("a=1&b=2").SetHeader(h).SetMethod(Method::Post);
  r.ParseUrl();
  r.Serialize();
  EXPECT_EQ(SourceOf(r),
            "POST /v3/config/client.do HTTP/1.1\r\n"
            "content-type: application/x-www-form-urlencoded\r\n"
            "Host: api.example.com\r\n"
            "Content-Length: 7\r\n"
            "\r\n"
            "a=1&b=2");
  EXPECT_EQ(r.port, 443);
}

TEST(HttpSerialise, EmptyBodyStillSendsLengthAndDuplicatesStay) {
  Header h;
  h.Add("content-type", "a");
  h.Add("content-type", "b");
  Request r;
  r.SetUrl("http://h:8080/p").SetHeader(h).SetMethod(Method::Delete);
  r.ParseUrl();
  r.Serialize();
  EXPECT_EQ(SourceOf(r), "DELETE /p HTTP/1.1\r\ncontent-type: a\r\ncontent-type: b\r\nHost: h\r\nContent-Length: 0\r\n\r\n");
}

TEST(HttpSerialise, SettersReplaceAndCopy) {
  Header h;
  h.Add("k", "v");
  Request r;
  r.SetHeader(h).SetBody("first").SetBody("second");
  h.Add("later", "x");  // the request holds its own copy
  EXPECT_EQ(r.header.Size(), 1u);
  EXPECT_EQ(std::string(r.body.begin(), r.body.end()), "second");
  r.SetMethod(Method::Put);
  EXPECT_EQ(r.method, "PUT");
}

}  // namespace
