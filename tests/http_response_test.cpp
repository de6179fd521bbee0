// The response parser over an in-memory stream: status line and headers, every
// body framing, the size cap, and the same answers cut at every byte boundary.
#include <gtest/gtest.h>

#include <algorithm>
#include <cstring>
#include <deque>
#include <stdexcept>
#include <string>

#include "http/Error.h"
#include "http/Response.h"
#include "http/Strings.h"

namespace {

using sion::Response;

// Hands out the given pieces one read at a time, then reports a close.
class PieceStream : public sion::Stream {
 public:
  explicit PieceStream(std::deque<std::string> pieces) : pieces_(std::move(pieces)) {}
  std::size_t Read(char* buffer, std::size_t size) override {
    if (pieces_.empty()) return 0;
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
  std::size_t offset_ = 0;
};

Response Parse(const std::string& bytes) {
  PieceStream s({bytes});
  return sion::ReadResponse(s);
}

std::string Body(const Response& r) { return std::string(r.body.begin(), r.body.end()); }

std::string ErrorOf(const std::string& bytes) {
  try {
    Parse(bytes);
  } catch (const std::exception& e) {
    return e.what();
  }
  return "<no error>";
}

bool ClosedEarly(const std::string& bytes) {
  try {
    Parse(bytes);
  } catch (const sion::PeerConnectionClose&) {
    return true;
  }
  return false;
}

TEST(HttpResponse, StatusLineHeadersAndLengthBody) {
  Response r = Parse("HTTP/1.1 200 OK\r\nContent-Length: 5\r\n\r\nhello");
  EXPECT_EQ(r.protocol_version, "HTTP/1.1");
  EXPECT_EQ(r.status_code, "200");
  EXPECT_EQ(r.status_text, "OK");
  EXPECT_EQ(Body(r), "hello");
  EXPECT_EQ(r.content_length, 5);
  EXPECT_EQ(r.body_start, std::string("HTTP/1.1 200 OK\r\nContent-Length: 5\r\n\r\n").size());

  EXPECT_EQ(Parse("HTTP/1.1 404 Not Found\r\nContent-Length: 0\r\n\r\n").status_text, "Not Found");
}

TEST(HttpResponse, StatusLineWithoutReasonIsAParseError) {
  const std::string a = "HTTP/1.1 200\r\nContent-Length: 0\r\n\r\n";
  EXPECT_EQ(ErrorOf(a), "解析错误\n" + a);
  const std::string b = "HTTP/1.1 200 \r\n\r\n";
  EXPECT_EQ(ErrorOf(b), "解析错误\n" + b);
}

TEST(HttpResponse, HeaderLinesAreLoweredTrimmedOrSkipped) {
  Response r = Parse(
      "HTTP/1.1 200 OK\r\nHost: a:b\r\nX-Empty:\r\nX-Blank:   \r\nno colon here\r\n"
      "X-Rep: 1\r\nx-rep: 2\r\nContent-Length: 0\r\n\r\n");
  EXPECT_EQ(r.header.Get("host"), "a:b");
  EXPECT_EQ(r.header.Get("x-empty"), "");
  EXPECT_EQ(r.header.Get("x-blank"), "   ");
  EXPECT_EQ(r.header.Get("X-Rep"), "2");
  for (const auto& pair : r.header.Pairs()) EXPECT_EQ(pair.first, sion::ToLower(pair.first));
}

TEST(HttpResponse, AnswerStartingWithEmptyLineLeavesEverythingEmpty) {
  Response r = Parse("\r\n\r\nHTTP/1.1 200 OK\r\n");
  EXPECT_EQ(r.status_code, "");
  EXPECT_TRUE(r.body.empty());
}

TEST(HttpResponse, ZeroByteInBodyIsKeptButEndsTheText) {
  Response r = Parse(std::string("HTTP/1.1 200 OK\r\nContent-Length: 5\r\n\r\nab\0cd", 43));
  EXPECT_EQ(r.body.size(), 5u);
  EXPECT_EQ(r.StrBody(), "ab");
}

TEST(HttpResponse, ZeroByteInHeaderBlockIsAParseErrorNotAnEndlessRead) {
  EXPECT_EQ(ErrorOf(std::string("HTTP/1.1 200 OK\r\nX: \0\r\n\r\n", 25)), "解析错误\nHTTP/1.1 200 OK\r\nX: ");
}

TEST(HttpBodyRules, BodyWithoutLengthOrChunkingEndsAtClose) {
  Response r = Parse("HTTP/1.1 200 OK\r\nServer: x\r\n\r\n{\"code\":200}");
  EXPECT_EQ(Body(r), "{\"code\":200}");
  EXPECT_EQ(Body(Parse("HTTP/1.0 200 OK\r\n\r\n")), "");
}

TEST(HttpBodyRules, NoBodyStatusesCompleteAtTheHeaderBlock) {
  // The stream never closes after these, as a keep-alive server would behave.
  for (const char* head : {"HTTP/1.1 204 No Content\r\n\r\n", "HTTP/1.1 304 Not Modified\r\n\r\n"}) {
    class Never : public sion::Stream {
     public:
      explicit Never(std::string b) : bytes_(std::move(b)) {}
      std::size_t Read(char* buffer, std::size_t size) override {
        if (bytes_.empty()) throw std::runtime_error("read past the answer");
        std::size_t n = std::min(size, bytes_.size());
        std::memcpy(buffer, bytes_.data(), n);
        bytes_.erase(0, n);
        return n;
      }

     private:
      std::string bytes_;
    } s(head);
    EXPECT_TRUE(sion::ReadResponse(s).body.empty()) << head;
  }
}

TEST(HttpBodyRules, ExtraBytesPastContentLengthAreCut) {
  EXPECT_EQ(Body(Parse("HTTP/1.1 200 OK\r\nContent-Length: 3\r\n\r\nabcdef")), "abc");
}

TEST(HttpBodyRules, ShortBodyIsAnEarlyClose) {
  EXPECT_TRUE(ClosedEarly("HTTP/1.1 200 OK\r\nContent-Length: 10\r\n\r\nabc"));
  EXPECT_TRUE(ClosedEarly("HTTP/1.1 200 OK\r\nContent-Le"));
  EXPECT_TRUE(ClosedEarly("HTTP/1.1 200 OK\r\nTransfer-Encoding: chunked\r\n\r\n5\r\nhel"));
}

// One rule per row. The stream never reports a close unless the row says so:
// an answer must complete (or fail) by its own framing.
TEST(HttpBodyRules, FramingTable) {
  struct Row {
    const char* what;
    std::string bytes;
    std::string body;   // expected when error is empty
    std::string error;  // expected text
    std::string status = "200";
    bool closes = false;
  };
  const std::string ok = "HTTP/1.1 200 OK\r\n";
  const std::string te = ok + "Transfer-Encoding: ";
  std::string manyFields = ok;
  for (int i = 0; i <= 100; ++i) manyFields += "X-" + std::to_string(i) + ": v\r\n";
  const Row rows[] = {
      {"negative length", ok + "Content-Length: -1\r\n\r\n", "", "content-length无效:-1"},
      {"letters", ok + "Content-Length: abc\r\n\r\n", "", "content-length无效:abc"},
      {"digits then letters", ok + "Content-Length: 12abc\r\n\r\n", "", "content-length无效:12abc"},
      {"sign", ok + "Content-Length: +42\r\n\r\n", "", "content-length无效:+42"},
      {"beyond int", ok + "Content-Length: 99999999999\r\n\r\n", "", "stoi argument out of range"},
      {"over the cap", ok + "Content-Length: 4194305\r\n\r\n", "", "响应过大,超过4194304字节"},
      {"lengths differ", ok + "Content-Length: 3\r\nContent-Length: 4\r\n\r\nabcd", "", "content-length不一致:4"},
      {"lengths agree", ok + "Content-Length: 3\r\ncontent-length: 003\r\n\r\nabc", "abc", ""},
      {"coding before chunked", te + "gzip, chunked\r\n\r\n3\r\nabc\r\n0\r\n\r\n", "",
       "不支持的Transfer-Encoding:gzip, chunked"},
      {"capital Chunked", te + "Chunked\r\nContent-Length: 3\r\n\r\n3\r\nabc", "", "不支持的Transfer-Encoding:Chunked"},
      {"chunked twice", te + "chunked\r\nTransfer-Encoding: chunked\r\n\r\n0\r\n\r\n", "",
       "不支持的Transfer-Encoding:chunked, chunked"},
      {"chunking overrides a length", te + "chunked\r\nContent-Length: 99\r\n\r\n3\r\nabc\r\n0\r\n\r\n", "abc", ""},
      {"100 Continue skipped", "HTTP/1.1 100 Continue\r\n\r\n" + ok + "Content-Length: 2\r\n\r\nhi", "hi", ""},
      {"103 with fields, then 404", "HTTP/1.1 103 Early Hints\r\nLink: </a>\r\n\r\nHTTP/1.1 404 Not Found\r\n\r\n", "",
       "", "404"},
      {"101 ends the answer", "HTTP/1.1 101 Switching Protocols\r\nUpgrade: x\r\n\r\n", "", "", "101"},
      {"no length, nothing after the head", "HTTP/1.1 404 Not Found\r\n\r\n", "", "", "404"},
      {"no length, body read to the close", ok + "\r\n{\"code\":200}", "{\"code\":200}", "", "200", true},
      {"header block over 64 KiB", ok + "X: " + std::string(70000, 'x'), "", "响应头过大,超过65536字节"},
      {"header block ending past 64 KiB", ok + "X: " + std::string(65530, 'x') + "\r\n\r\n", "",
       "响应头过大,超过65536字节"},
      {"101 fields", manyFields + "\r\n", "", "响应头字段过多,超过100个"},
  };
  for (const Row& row : rows) {
    class Strict : public sion::Stream {
     public:
      Strict(std::string b, bool closes) : bytes_(std::move(b)), closes_(closes) {}
      std::size_t Read(char* buffer, std::size_t size) override {
        if (bytes_.empty() && closes_) return 0;
        if (bytes_.empty()) throw std::runtime_error("read past the answer");
        std::size_t n = std::min(size, bytes_.size());
        std::memcpy(buffer, bytes_.data(), n);
        bytes_.erase(0, n);
        return n;
      }

     private:
      std::string bytes_;
      bool closes_;
    } s(row.bytes, row.closes);
    try {
      Response r = sion::ReadResponse(s);
      EXPECT_EQ(row.error, "") << row.what;
      EXPECT_EQ(Body(r), row.body) << row.what;
      EXPECT_EQ(r.status_code, row.status) << row.what;
    } catch (const std::exception& e) {
      EXPECT_EQ(e.what(), row.error) << row.what;
    }
  }
}

TEST(HttpBodyRules, AnswersOverTheCapAreRefused) {
  const std::string tooLarge = "响应过大,超过4194304字节";
  EXPECT_EQ(ErrorOf("HTTP/1.1 200 OK\r\nTransfer-Encoding: chunked\r\n\r\n400001\r\n"), tooLarge);
  // An unframed flood stops at the cap too.
  std::string flood(sion::kMaxResponseBytes + 10, 'x');
  EXPECT_EQ(ErrorOf("HTTP/1.1 200 OK\r\n\r\n" + flood), tooLarge);
  // Exactly at the cap is fine.
  const std::string head = "HTTP/1.1 200 OK\r\n\r\n";
  EXPECT_EQ(Parse(head + std::string(sion::kMaxResponseBytes - head.size(), 'y')).body.size(),
            sion::kMaxResponseBytes - head.size());
}

TEST(HttpChunked, DecodesSizesExtensionsAndTrailers) {
  Response r = Parse("HTTP/1.1 200 OK\r\nTransfer-Encoding: chunked\r\n\r\n5\r\nhello\r\n0\r\n\r\n");
  EXPECT_TRUE(r.is_chunked);
  EXPECT_EQ(Body(r), "hello");
  EXPECT_EQ(r.content_length, 5);

  EXPECT_EQ(Body(Parse("HTTP/1.1 200 OK\r\nTransfer-Encoding: chunked\r\n\r\na;x=1\r\n0123456789\r\n0\r\n\r\n")),
            "0123456789");
  EXPECT_EQ(Body(Parse("HTTP/1.1 200 OK\r\nTransfer-Encoding: chunked\r\n\r\n"
                       "3\r\nabc\r\nA \r\n0123456789\r\n0\r\nX-Trailer: t\r\nY: u\r\n\r\n")),
            "abc0123456789");
  EXPECT_EQ(Body(Parse("HTTP/1.1 200 OK\r\nTransfer-Encoding: chunked\r\n\r\n0\r\n\r\n")), "");
}

TEST(HttpChunked, DataContainingTheLastChunkMarkerIsReadWhole) {
  Response r = Parse("HTTP/1.1 200 OK\r\nTransfer-Encoding: chunked\r\n\r\n9\r\n0\r\n\r\nabcd\r\n3\r\nxyz\r\n0\r\n\r\n");
  EXPECT_EQ(Body(r), "0\r\n\r\nabcdxyz");
}

TEST(HttpChunked, BytesAfterTheLastChunkAreIgnored) {
  EXPECT_EQ(Body(Parse("HTTP/1.1 200 OK\r\nTransfer-Encoding: chunked\r\n\r\n1\r\nz\r\n0\r\n\r\nGARBAGE")), "z");
}

TEST(HttpChunked, BrokenFramingIsAnError) {
  const std::string head = "HTTP/1.1 200 OK\r\nTransfer-Encoding: chunked\r\n\r\n";
  EXPECT_EQ(ErrorOf(head + "zz\r\nab\r\n0\r\n\r\n"), "chunked编码错误:块大小无效");
  EXPECT_EQ(ErrorOf(head + "5x\r\nhello\r\n0\r\n\r\n"), "chunked编码错误:块大小无效");
  EXPECT_EQ(ErrorOf(head + "\r\n"), "chunked编码错误:块大小无效");
  EXPECT_EQ(ErrorOf(head + "5\r\nhelloXX0\r\n\r\n"), "chunked编码错误:块数据后缺少CRLF");
  EXPECT_EQ(ErrorOf(head + "5\nhello\r\n0\r\n\r\n"), "chunked编码错误:行未以CRLF结束");
  EXPECT_EQ(ErrorOf(head + std::string(9000, '1')), "chunked编码错误:行过长");
}

TEST(HttpResponse, SameAnswerCutAtEveryByteBoundaryParsesTheSame) {
  const std::string answers[] = {
      "HTTP/1.1 200 OK\r\nContent-Type: application/json\r\nContent-Length: 12\r\n\r\n{\"code\":200}",
      "HTTP/1.1 200 OK\r\nTransfer-Encoding: chunked\r\n\r\n4\r\n{\"co\r\n8;e=1\r\nde\":200}\r\n0\r\nT: 1\r\n\r\n",
  };
  for (const std::string& answer : answers) {
    for (std::size_t cut = 1; cut < answer.size(); ++cut) {
      PieceStream s({answer.substr(0, cut), answer.substr(cut)});
      Response r = sion::ReadResponse(s);
      ASSERT_EQ(Body(r), "{\"code\":200}") << "cut at " << cut;
      ASSERT_EQ(r.status_code, "200");
    }
    std::deque<std::string> bytes;
    for (char c : answer) bytes.emplace_back(1, c);
    PieceStream oneByOne(bytes);
    EXPECT_EQ(Body(sion::ReadResponse(oneByOne)), "{\"code\":200}");
  }
}

}  // namespace
