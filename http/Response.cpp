#include "http/Response.h"

#include <algorithm>
#include <cctype>
#include <cstring>

#include "http/Error.h"
#include "http/Strings.h"

namespace sion {
namespace {

constexpr std::size_t kReceiveBuffer = 2048;  // one read asks for one byte less
constexpr std::size_t kMaxLine = 8192;        // a chunk size or trailer line

const char kTooLarge[] = "响应过大,超过4194304字节";
const char kHeadTooLarge[] = "响应头过大,超过65536字节";
const char kTooManyFields[] = "响应头字段过多,超过100个";
const char kCutShort[] = "网络异常,连接未经close_notify关闭,响应可能不完整";

Error TooLarge() {
  return Error(kTooLarge, ErrorKind::TooLarge, "answer larger than " + std::to_string(kMaxResponseBytes) + " bytes");
}

[[noreturn]] void Broken(const char* why) {
  throw Error(std::string("chunked编码错误:") + why, ErrorKind::Protocol, "malformed chunked body");
}

int HexValue(char c) {
  if (c >= '0' && c <= '9') return c - '0';
  if (c >= 'a' && c <= 'f') return c - 'a' + 10;
  if (c >= 'A' && c <= 'F') return c - 'A' + 10;
  return -1;
}

// Reads once into the cleared buffer and keeps the running total under the cap.
// 0 only when the peer closed.
std::size_t ReadOnce(Stream& in, char (&buffer)[kReceiveBuffer], std::size_t& received) {
  std::memset(buffer, 0, sizeof buffer);
  std::size_t n = in.Read(buffer, sizeof buffer - 1);
  received += n;
  if (received > kMaxResponseBytes) throw TooLarge();
  return n;
}

// RFC 9110 6.4.1: these answers never carry a body, whatever their headers say.
bool HasNoBody(const std::string& status) {
  return status == "204" || status == "304" || (status.size() == 3 && status[0] == '1');
}

// RFC 9110 15.2: an interim answer precedes the real one (101 ends HTTP on this connection).
bool IsInterim(const std::string& status) { return status.size() == 3 && status[0] == '1' && status != "101"; }

bool IsTrimmed(char c) { return c == ' ' || c == '\n' || c == '\r'; }

// Trim() on the range [b, e): a range made only of trimmed bytes stays as it is.
std::string Trimmed(const char* b, const char* e) {
  const char* f = b;
  while (f < e && IsTrimmed(*f)) ++f;
  if (f == e) return std::string(b, e);
  const char* l = e;
  while (IsTrimmed(l[-1])) --l;
  return std::string(f, l);
}

// Parses the header block of source[0, body_start), walking it in place: only
// the status line and the kept pairs are copied. False when the block held no
// line at all (the answer began with an empty line).
bool ParseHead(Response& r) {
  const char* p = r.source.data();
  const char* const end = p + r.body_start;
  bool statusSeen = false;
  std::size_t fields = 0;
  while (p < end) {
    const char* eol = std::search(p, end, kCrlf, kCrlf + 2);
    const char* next = eol == end ? end : eol + 2;
    if (eol == p) {  // empty lines (the block's end among them) are no lines
      p = next;
      continue;
    }
    if (!statusSeen) {
      statusSeen = true;
      const std::vector<std::string> status = Split(std::string(p, eol), " ", 2);
      if (status.size() != 3)
        throw Error("解析错误\n" + TextOf(r.source), ErrorKind::Protocol, "malformed status line");
      r.protocol_version = Trim(status[0]);
      r.status_code = Trim(status[1]);
      r.status_text = Trim(status[2]);
    } else {
      // "key:value"; a line without a colon, key or value is skipped.
      const char* colon = std::find(p, eol, ':');
      if (colon != eol && colon != p && colon + 1 != eol) {
        if (++fields > kMaxHeaderFields)
          throw Error(kTooManyFields, ErrorKind::TooLarge, "too many answer header fields");
        r.header.Add(ToLower(Trimmed(p, colon)), Trimmed(colon + 1, eol));
      }
    }
    p = next;
  }
  return statusSeen;
}

// Reads until source holds a whole header block; sets body_start.
void ReadHeadBlock(Stream& in, Response& r, char (&buffer)[kReceiveBuffer], std::size_t& received) {
  std::size_t scanned = 0;
  for (;;) {
    const char* base = r.source.data();
    const std::size_t size = r.source.size();
    const void* zero = size > scanned ? std::memchr(base + scanned, 0, size - scanned) : nullptr;
    const std::size_t textEnd = zero ? static_cast<std::size_t>(static_cast<const char*>(zero) - base) : size;
    const std::size_t from = scanned >= 3 ? scanned - 3 : 0;
    const char* found = std::search(base + from, base + textEnd, kCrlfCrlf, kCrlfCrlf + 4);
    if (found != base + textEnd) {
      r.body_start = static_cast<std::size_t>(found - base) + 4;
      if (r.body_start > kMaxHeaderBytes)
        throw Error(kHeadTooLarge, ErrorKind::TooLarge, "answer header block too large");
      return;
    }
    if (zero) throw Error("解析错误\n" + TextOf(r.source), ErrorKind::Protocol, "zero byte in the header block");
    if (size >= kMaxHeaderBytes) throw Error(kHeadTooLarge, ErrorKind::TooLarge, "answer header block too large");
    scanned = size;
    std::size_t n = ReadOnce(in, buffer, received);
    if (n == 0) throw PeerConnectionClose();
    r.source.insert(r.source.end(), buffer, buffer + n);
  }
}

// RFC 9110 8.6: every Content-Length must be digits only, and repeated ones must agree.
bool ReadContentLength(Response& r) {
  bool has = false;
  for (const auto& pair : r.header.Pairs()) {
    if (pair.first != "content-length") continue;
    const std::string& text = pair.second;
    if (text.find_first_not_of("0123456789") != std::string::npos) {
      throw Error("content-length无效:" + text, ErrorKind::Protocol, "invalid content-length");
    }
    const int value = ParseInt(text);  // out_of_range past int
    if (has && value != r.content_length)
      throw Error("content-length不一致:" + text, ErrorKind::Protocol, "conflicting content-length");
    r.content_length = value;
    has = true;
  }
  if (has && static_cast<std::size_t>(r.content_length) > kMaxResponseBytes) throw TooLarge();
  return has;
}

// RFC 9112 6.1: only the chunked coding is understood, and it must come last;
// any other coding would hand its encoded bytes over as the body.
bool ReadTransferEncoding(const Response& r) {
  std::string codings;
  for (const auto& pair : r.header.Pairs()) {
    if (pair.first != "transfer-encoding") continue;
    codings += codings.empty() ? pair.second : ", " + pair.second;
  }
  if (codings.empty()) return false;
  if (codings != "chunked") {
    throw Error("不支持的Transfer-Encoding:" + codings, ErrorKind::Protocol, "unsupported transfer-encoding");
  }
  return true;
}

}  // namespace

std::string Response::StrBody() const { return TextOf(body); }

std::size_t ChunkedDecoder::Feed(const char* data, std::size_t size) {
  std::size_t i = 0;
  while (i < size && state_ != State::Done) {
    switch (state_) {
      case State::SizeLine:
      case State::Trailer: {
        const void* lf = std::memchr(data + i, '\n', size - i);
        std::size_t take = lf ? static_cast<std::size_t>(static_cast<const char*>(lf) - (data + i)) + 1 : size - i;
        if (line_.size() + take > kMaxLine) Broken("行过长");
        line_.append(data + i, take);
        i += take;
        if (!lf) break;
        if (line_.size() < 2 || line_[line_.size() - 2] != '\r') Broken("行未以CRLF结束");
        line_.resize(line_.size() - 2);
        if (state_ == State::SizeLine) {
          EndSizeLine();
        } else if (line_.empty()) {
          state_ = State::Done;  // the empty line after the trailers
        }
        line_.clear();
        break;
      }
      case State::Data: {
        std::size_t take = std::min(remaining_, size - i);
        output_.insert(output_.end(), data + i, data + i + take);
        i += take;
        remaining_ -= take;
        if (remaining_ == 0) state_ = State::DataEnd;
        break;
      }
      case State::DataEnd: {
        line_ += data[i++];
        if (line_[0] != '\r' || (line_.size() == 2 && line_[1] != '\n')) Broken("块数据后缺少CRLF");
        if (line_.size() == 2) {
          line_.clear();
          state_ = State::SizeLine;
        }
        break;
      }
      case State::Done:
        break;
    }
  }
  return i;
}

void ChunkedDecoder::EndSizeLine() {
  std::size_t p = 0;
  const std::size_t n = line_.size();
  while (p < n && (line_[p] == ' ' || line_[p] == '\t')) ++p;
  std::size_t value = 0;
  std::size_t digits = 0;
  for (int h; p < n && (h = HexValue(line_[p])) >= 0; ++p, ++digits) {
    value = value * 16 + static_cast<std::size_t>(h);
    if (value > kMaxResponseBytes) throw TooLarge();
  }
  if (digits == 0) Broken("块大小无效");
  while (p < n && (line_[p] == ' ' || line_[p] == '\t')) ++p;
  if (p < n && line_[p] != ';') Broken("块大小无效");  // anything after ';' is an extension
  if (value == 0) {
    state_ = State::Trailer;
    return;
  }
  if (output_.size() + value > kMaxResponseBytes) throw TooLarge();
  remaining_ = value;
  state_ = State::Data;
}

Response ReadResponse(Stream& in) {
  Response r;
  char buffer[kReceiveBuffer];
  std::size_t received = 0;

  for (;;) {
    ReadHeadBlock(in, r, buffer, received);
    if (!ParseHead(r)) return r;
    if (!IsInterim(r.status_code)) break;
    // Drop the interim answer; what followed it starts the next header block.
    r.source.erase(r.source.begin(), r.source.begin() + static_cast<std::ptrdiff_t>(r.body_start));
    r.header = Header();
    r.body_start = Response::kUnknown;
  }
  r.body.assign(r.source.begin() + static_cast<std::ptrdiff_t>(r.body_start), r.source.end());
  if (HasNoBody(r.status_code)) {
    r.body.clear();
    return r;
  }
  const bool hasLength = ReadContentLength(r);
  r.is_chunked = ReadTransferEncoding(r);  // RFC 9112 6.3: chunking overrides a length

  if (r.is_chunked) {
    ChunkedDecoder decoder;
    decoder.Feed(r.body.data(), r.body.size());
    std::vector<char>().swap(r.body);
    while (!decoder.Done()) {
      std::size_t n = ReadOnce(in, buffer, received);
      if (n == 0) throw PeerConnectionClose();
      decoder.Feed(buffer, n);
    }
    r.body.swap(decoder.Output());
    r.content_length = static_cast<std::int32_t>(r.body.size());
    return r;
  }

  if (hasLength) {
    const std::size_t want = static_cast<std::size_t>(r.content_length);
    if (r.body.size() > want) r.body.resize(want);  // bytes past the announced length are not ours
    r.body.reserve(want);
    while (r.body.size() < want) {
      std::size_t n = ReadOnce(in, buffer, received);
      if (n == 0) throw PeerConnectionClose();
      r.body.insert(r.body.end(), buffer, buffer + std::min(n, want - r.body.size()));
    }
    return r;
  }

  // Neither length nor chunking: nothing after the header block means no body;
  // a body that has begun ends where the peer closes.
  if (r.body.empty()) return r;
  for (;;) {
    std::size_t n = ReadOnce(in, buffer, received);
    if (n == 0) break;
    r.body.insert(r.body.end(), buffer, buffer + n);
  }
  if (!in.ClosedCleanly())
    throw Error(kCutShort, ErrorKind::Dropped, "connection closed without TLS close_notify; answer may be cut");
  return r;
}

}  // namespace sion
