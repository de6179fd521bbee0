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
using Pieces = std::vector<std::string>;

std::string InvalidArgumentOf(Request r) {
  try {
    r.Send();
  } catch (const std::invalid_argument& e) {
    return e.what();
  }
  return "<no invalid_argument>";
}

// The request bytes for url, after ParseUrl and Serialize.
std::string Serialised(Request& r, const std::string& url) {
  r.SetUrl(url);
  r.ParseUrl();
  r.Serialize();
  return std::string(r.source.begin(), r.source.end());
}

TEST(HttpHeader, KeepsOrderAndDuplicatesAndFindsLastLowerCaseKey) {
  Header h;
  h.Add("content-type", "a");
  h.Add("X-Mixed", "m");
  h.Add("content-type", "b");
  ASSERT_EQ(h.Size(), 3u);
  EXPECT_EQ(h.Pairs()[0].second, "a");
  EXPECT_EQ(h.Get("Content-Type"), "b");  // the key asked for is lowered
  EXPECT_EQ(h.Get("X-Mixed"), "");        // stored mixed-case keys are not found
}

TEST(HttpStrings, SplitTrimAndParseInt) {
  EXPECT_EQ(sion::Split("a\r\n\r\nb\r\n", "\r\n"), (Pieces{"a", "b"}));
  EXPECT_EQ(sion::Split("", ","), (Pieces{""}));  // no find: the whole text
  EXPECT_TRUE(sion::Split("\r\n\r\n", "\r\n").empty());
  EXPECT_EQ(sion::Trim(" \r\nvalue \n"), "value");
  EXPECT_EQ(sion::Trim("   "), "   ");
  EXPECT_EQ(sion::Trim("\tx\t"), "\tx\t");  // tabs are not trimmed
  EXPECT_EQ(sion::ParseInt("  42abc"), 42);
  EXPECT_EQ(sion::ParseInt("2147483647"), 2147483647);
  EXPECT_THROW(sion::ParseInt("abc"), std::invalid_argument);
  EXPECT_THROW(sion::ParseInt("2147483648"), std::out_of_range);
}

TEST(HttpUrl, DefaultsPortAndPathFromScheme) {
  struct Row {
    const char* url;
    const char* host;
    int port;
    const char* path;
  } rows[] = {
      {"http://example.com", "example.com", 80, "/"},
      {"https://api.example.com:8443/a?b=c", "api.example.com", 8443, "/a?b=c"},
      {"http://h:/x", "h", 80, "/x"},
      {"https://h", "h", 443, "/"},
      {"http://h?x=1#frag", "h", 80, "?x=1#frag"},  // kept as written
      {"http://:81/", "", 81, "/"},
  };
  for (const Row& row : rows) {
    SCOPED_TRACE(row.url);
    Request r;
    r.SetUrl(row.url).SetMethod(Method::Get);
    r.ParseUrl();
    EXPECT_EQ(r.host, row.host);
    EXPECT_EQ(r.port, row.port);
    EXPECT_EQ(r.path, row.path);
  }
}

TEST(HttpUrl, RefusesOtherSchemesCapitalsLineBreaksAndMissingMethods) {
  for (const char* url : {"ftp://h/", "HTTPS://h/", "https//h", "http://h/a\r\nX-Evil: 1"}) {
    Request r;
    r.SetUrl(url).SetMethod(Method::Post);
    EXPECT_EQ(InvalidArgumentOf(r), "url格式不对或者是用了除http(s)外的协议") << url;
  }
  Request big;
  big.SetUrl("http://h:99999999999/").SetMethod(Method::Get);
  EXPECT_THROW(big.Send(), std::out_of_range);
  Request r;
  r.SetUrl("ftp://bad");  // the missing method is reported first
  EXPECT_EQ(InvalidArgumentOf(r), "请求方法未定义");
  r.SetMethod(static_cast<Method>(9));  // unknown values leave the method unset
  EXPECT_EQ(InvalidArgumentOf(r), "请求方法未定义");
}

// Caller headers in order, duplicates kept, then Host (no port) and Content-Length; setters replace and copy.
TEST(HttpSerialise, CallerHeadersInOrderThenHostThenContentLength) {
  Header twice;
  twice.Add("content-type", "a");
  twice.Add("content-type", "b");
  Request r;
  r.SetHeader(twice).SetBody("first").SetBody("second").SetMethod(Method::Put);
  twice.Add("later", "x");  // the request holds its own copy
  EXPECT_EQ(Serialised(r, "http://h:8080/p"),
            "PUT /p HTTP/1.1\r\ncontent-type: a\r\ncontent-type: b\r\nHost: h\r\nContent-Length: 6\r\n\r\nsecond");
  Request d;
  d.SetMethod(Method::Delete);
  EXPECT_EQ(Serialised(d, "http://h/").substr(0, 18), "DELETE / HTTP/1.1\r");
}

}  // namespace
