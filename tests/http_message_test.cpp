// Both sides of an HTTP message without a network: the header list, URL rule and request bytes; the
// response parser over an in-memory stream with every framing, the caps, and answers cut at every byte.
#include <gtest/gtest.h>

#include <algorithm>
#include <cstring>
#include <deque>
#include <stdexcept>
#include <string>

#include "http/Error.h"
#include "http/Header.h"
#include "http/Request.h"
#include "http/Response.h"
#include "http/Strings.h"

namespace {

using sion::Header;
using sion::Method;
using sion::Request;
using sion::Response;

std::string InvalidArgumentOf(Request r) {
  try {
    r.Send();
  } catch (const std::invalid_argument& e) {
    return e.what();
  }
  return "<no invalid_argument>";
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
}

// Caller headers in order, duplicates kept, then Host (no port) and Content-Length; setters replace and copy.
TEST(HttpSerialise, CallerHeadersInOrderThenHostThenContentLength) {
  Header twice;
  twice.Add("content-type", "a");
  twice.Add("content-type", "b");
  Request r;
  r.SetHeader(twice).SetBody("first").SetBody("second").SetMethod(Method::Put).SetUrl("http://h:8080/p");
  twice.Add("later", "x");  // the request holds its own copy
  r.ParseUrl();
  r.Serialize();
  EXPECT_EQ(std::string(r.source.begin(), r.source.end()),
            "PUT /p HTTP/1.1\r\ncontent-type: a\r\ncontent-type: b\r\nHost: h\r\nContent-Length: 6\r\n\r\nsecond");
}

// ---- responses ----

// Hands out the pieces one read at a time; past the last, a close when `closes`, else a failure.
class PieceStream : public sion::Stream {
 public:
  PieceStream(std::deque<std::string> pieces, bool closes) : pieces_(std::move(pieces)), closes_(closes) {}
  std::size_t Read(char* buffer, std::size_t size) override {
    if (pieces_.empty() && closes_) return 0;
    if (pieces_.empty()) throw std::runtime_error("read past the answer");
    const std::string& front = pieces_.front();
    std::size_t n = std::min(size, front.size() - offset_);
    std::memcpy(buffer, front.data() + offset_, n);
    offset_ += n;
    if (offset_ == front.size()) {
      pieces_.pop_front();
      offset_ = 0;
    }
    return n;
  }

 private:
  std::deque<std::string> pieces_;
  bool closes_;
  std::size_t offset_ = 0;
};

Response Parse(const std::string& bytes, bool closes = true) {
  PieceStream s({bytes}, closes);
  return sion::ReadResponse(s);
}

std::string Body(const Response& r) { return std::string(r.body.begin(), r.body.end()); }

const std::string kOk = "HTTP/1.1 200 OK\r\n";
const std::string kChunked = kOk + "Transfer-Encoding: chunked\r\n\r\n";

TEST(HttpResponse, HeaderLinesAreLoweredTrimmedOrSkipped) {
  Response r = Parse(kOk + "Host: a:b\r\nX-Empty:\r\nX-Blank:   \r\nX-Tab: \tv\t \r\nno colon here\r\n"
                     "X-Rep: 1\r\nx-rep: 2\r\nContent-Length: 0\r\n\r\n");
  EXPECT_EQ(r.header.Get("host"), "a:b");
  EXPECT_EQ(r.header.Get("x-empty"), "");
  EXPECT_EQ(r.header.Get("x-blank"), "   ");
  EXPECT_EQ(r.header.Get("x-tab"), "\tv\t");  // tabs are not trimmed
  EXPECT_EQ(r.header.Get("X-Rep"), "2");
  for (const auto& pair : r.header.Pairs()) EXPECT_EQ(pair.first, sion::ToLower(pair.first));
  Response zero = Parse(std::string("HTTP/1.1 200 OK\r\nContent-Length: 5\r\n\r\nab\0cd", 43));
  EXPECT_EQ(zero.body.size(), 5u);  // a zero byte is kept but ends the text
  EXPECT_EQ(zero.StrBody(), "ab");
}

// One rule per row.
TEST(HttpBodyRules, FramingTable) {
  struct Row {
    const char* what;
    std::string bytes;
    std::string body;   // expected when error is empty
    std::string error;  // expected text; "<closed early>" for sion::PeerConnectionClose
    std::string status = "200";
    bool closes = false;
  };
  const std::string te = kOk + "Transfer-Encoding: ";
  const std::string badSize = "chunked编码错误:块大小无效";
  const std::string tooLarge = "响应过大,超过4194304字节";
  const std::string early = "<closed early>";
  std::string manyFields = kOk;
  for (int i = 0; i <= 100; ++i) manyFields += "X-" + std::to_string(i) + ": v\r\n";
  const Row rows[] = {
      {"no reason", "HTTP/1.1 200\r\nContent-Length: 0\r\n\r\n", "", "解析错误\nHTTP/1.1 200\r\nContent-Length: 0\r\n\r\n"},
      {"empty reason", "HTTP/1.1 200 \r\n\r\n", "", "解析错误\nHTTP/1.1 200 \r\n\r\n"},
      {"zero byte in the head", std::string("HTTP/1.1 200 OK\r\nX: \0\r\n\r\n", 25), "", "解析错误\nHTTP/1.1 200 OK\r\nX: ", "", true},
      {"starts with an empty line", "\r\n\r\nHTTP/1.1 200 OK\r\n", "", "", "", true},
      {"negative length", kOk + "Content-Length: -1\r\n\r\n", "", "content-length无效:-1"},
      {"digits then letters", kOk + "Content-Length: 12abc\r\n\r\n", "", "content-length无效:12abc"},
      {"sign", kOk + "Content-Length: +42\r\n\r\n", "", "content-length无效:+42"},
      {"beyond int", kOk + "Content-Length: 99999999999\r\n\r\n", "", "stoi argument out of range"},
      {"over the cap", kOk + "Content-Length: 4194305\r\n\r\n", "", tooLarge},
      {"chunk over the cap", kChunked + "400001\r\n", "", tooLarge},
      {"unframed flood", kOk + "\r\n" + std::string(sion::kMaxResponseBytes + 10, 'x'), "", tooLarge, "", true},
      {"lengths differ", kOk + "Content-Length: 3\r\nContent-Length: 4\r\n\r\nabcd", "", "content-length不一致:4"},
      {"lengths agree", kOk + "Content-Length: 3\r\ncontent-length: 003\r\n\r\nabc", "abc", ""},
      {"bytes past the length cut", kOk + "Content-Length: 3\r\n\r\nabcdef", "abc", ""},
      {"short body", kOk + "Content-Length: 10\r\n\r\nabc", "", early, "", true},
      {"short head", kOk + "Content-Le", "", early, "", true},
      {"short chunk", kChunked + "5\r\nhel", "", early, "", true},
      {"coding before chunked", te + "gzip, chunked\r\n\r\n3\r\nabc\r\n0\r\n\r\n", "",
       "不支持的Transfer-Encoding:gzip, chunked"},
      {"capital Chunked", te + "Chunked\r\nContent-Length: 3\r\n\r\n3\r\nabc", "", "不支持的Transfer-Encoding:Chunked"},
      {"chunked twice", te + "chunked\r\nTransfer-Encoding: chunked\r\n\r\n0\r\n\r\n", "",
       "不支持的Transfer-Encoding:chunked, chunked"},
      {"chunking overrides a length", te + "chunked\r\nContent-Length: 99\r\n\r\n3\r\nabc\r\n0\r\n\r\n", "abc", ""},
      {"chunk extension", kChunked + "a;x=1\r\n0123456789\r\n0\r\n\r\n", "0123456789", ""},
      {"blank after size, trailers", kChunked + "3\r\nabc\r\nA \r\n0123456789\r\n0\r\nX-Trailer: t\r\nY: u\r\n\r\n",
       "abc0123456789", ""},
      {"only the last chunk", kChunked + "0\r\n\r\n", "", ""},
      {"last-chunk marker inside data", kChunked + "9\r\n0\r\n\r\nabcd\r\n3\r\nxyz\r\n0\r\n\r\n", "0\r\n\r\nabcdxyz", ""},
      {"bytes after the last chunk", kChunked + "1\r\nz\r\n0\r\n\r\nGARBAGE", "z", ""},
      {"size not hex", kChunked + "zz\r\nab\r\n0\r\n\r\n", "", badSize},
      {"size then junk", kChunked + "5x\r\nhello\r\n0\r\n\r\n", "", badSize},
      {"empty size line", kChunked + "\r\n", "", badSize},
      {"no CRLF after data", kChunked + "5\r\nhelloXX0\r\n\r\n", "", "chunked编码错误:块数据后缺少CRLF"},
      {"bare LF", kChunked + "5\nhello\r\n0\r\n\r\n", "", "chunked编码错误:行未以CRLF结束"},
      {"endless size line", kChunked + std::string(9000, '1'), "", "chunked编码错误:行过长"},
      {"204 ends at the head", "HTTP/1.1 204 No Content\r\n\r\n", "", "", "204"},
      {"100 Continue skipped", "HTTP/1.1 100 Continue\r\n\r\n" + kOk + "Content-Length: 2\r\n\r\nhi", "hi", ""},
      {"103 with fields, then 404", "HTTP/1.1 103 Early Hints\r\nLink: </a>\r\n\r\nHTTP/1.1 404 Not Found\r\n\r\n", "",
       "", "404"},
      {"101 ends the answer", "HTTP/1.1 101 Switching Protocols\r\nUpgrade: x\r\n\r\n", "", "", "101"},
      {"no length, body read to the close", kOk + "Server: x\r\n\r\n{\"code\":200}", "{\"code\":200}", "", "200", true},
      {"no length, empty at the close", "HTTP/1.0 200 OK\r\n\r\n", "", "", "200", true},
      {"header block over 64 KiB", kOk + "X: " + std::string(70000, 'x'), "", "响应头过大,超过65536字节"},
      {"header block ending past 64 KiB", kOk + "X: " + std::string(65530, 'x') + "\r\n\r\n", "",
       "响应头过大,超过65536字节"},
      {"101 fields", manyFields + "\r\n", "", "响应头字段过多,超过100个"},
  };
  for (const Row& row : rows) {
    SCOPED_TRACE(row.what);
    try {
      Response r = Parse(row.bytes, row.closes);
      EXPECT_EQ(row.error, "");
      EXPECT_EQ(Body(r), row.body);
      EXPECT_EQ(r.status_code, row.status);
    } catch (const sion::PeerConnectionClose&) {
      EXPECT_EQ(row.error, early);
    } catch (const std::exception& e) {
      EXPECT_EQ(e.what(), row.error);
    }
  }
  // Exactly at the cap is fine.
  const std::string head = "HTTP/1.1 200 OK\r\n\r\n";
  EXPECT_EQ(Parse(head + std::string(sion::kMaxResponseBytes - head.size(), 'y')).body.size(),
            sion::kMaxResponseBytes - head.size());
}

TEST(HttpResponse, SameAnswerCutAtEveryByteBoundaryParsesTheSame) {
  const std::string answers[] = {
      kOk + "Content-Type: application/json\r\nContent-Length: 12\r\n\r\n{\"code\":200}",
      kChunked + "4\r\n{\"co\r\n8;e=1\r\nde\":200}\r\n0\r\nT: 1\r\n\r\n",
  };
  for (const std::string& answer : answers) {
    for (std::size_t cut = 1; cut < answer.size(); ++cut) {
      PieceStream s({answer.substr(0, cut), answer.substr(cut)}, false);
      Response r = sion::ReadResponse(s);
      ASSERT_EQ(Body(r), "{\"code\":200}") << "cut at " << cut;
      ASSERT_EQ(r.status_code, "200");
    }
    std::deque<std::string> bytes;
    for (char c : answer) bytes.emplace_back(1, c);
    PieceStream oneByOne(bytes, false);
    EXPECT_EQ(Body(sion::ReadResponse(oneByOne)), "{\"code\":200}");
  }
}

}  // namespace
