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

const char kTooLarge[] = "响应过大,超过16777216字节";

[[noreturn]] void Broken(const char* why) { throw Error(std::string("chunked编码错误:") + why); }

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
  if (received > kMaxResponseBytes) throw Error(kTooLarge);
  return n;
}

// RFC 9110 6.4.1: these answers never carry a body, whatever their headers say.
bool HasNoBody(const std::string& status) {
  return status == "204" || status == "304" || (status.size() == 3 && status[0] == '1');
}

// Parses the header block of source[0, body_start). False when the block held
// no line at all (the answer began with an empty line).
bool ParseHead(Response& r) {
  const std::string head(r.source.data(), r.body_start);
  const std::vector<std::string> lines = Split(head, kCrlf);
  if (lines.empty()) return false;

  const std::vector<std::string> status = Split(lines[0], " ", 2);
  if (status.size() != 3) throw Error("解析错误\n" + TextOf(r.source));
  r.protocol_version = Trim(status[0]);
  r.status_code = Trim(status[1]);
  r.status_text = Trim(status[2]);

  for (std::size_t i = 1; i < lines.size(); ++i) {
    const std::vector<std::string> pair = Split(lines[i], ":", 1);
    if (pair.size() != 2) continue;
    r.header.Add(ToLower(Trim(pair[0])), Trim(pair[1]));
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
    if (value > kMaxResponseBytes) throw Error(kTooLarge);
  }
  if (digits == 0) Broken("块大小无效");
  while (p < n && (line_[p] == ' ' || line_[p] == '\t')) ++p;
  if (p < n && line_[p] != ';') Broken("块大小无效");  // anything after ';' is an extension
  if (value == 0) {
    state_ = State::Trailer;
    return;
  }
  if (output_.size() + value > kMaxResponseBytes) throw Error(kTooLarge);
  remaining_ = value;
  state_ = State::Data;
}

Response ReadResponse(Stream& in) {
  Response r;
  char buffer[kReceiveBuffer];
  std::size_t received = 0;

  // The header block: up to the first CR LF CR LF of the received text.
  std::size_t scanned = 0;
  while (r.body_start == Response::kUnknown) {
    std::size_t n = ReadOnce(in, buffer, received);
    if (n == 0) throw PeerConnectionClose();
    r.source.insert(r.source.end(), buffer, buffer + n);
    const char* base = r.source.data();
    const std::size_t size = r.source.size();
    const void* zero = std::memchr(base + scanned, 0, size - scanned);
    const std::size_t textEnd = zero ? static_cast<std::size_t>(static_cast<const char*>(zero) - base) : size;
    const std::size_t from = scanned >= 3 ? scanned - 3 : 0;
    const char* found = std::search(base + from, base + textEnd, kCrlfCrlf, kCrlfCrlf + 4);
    if (found != base + textEnd) {
      r.body_start = static_cast<std::size_t>(found - base) + 4;
    } else if (zero) {
      throw Error("解析错误\n" + TextOf(r.source));  // a zero byte inside the header block
    }
    scanned = size;
  }

  if (!ParseHead(r)) return r;

  const std::string lengthText = r.header.Get("content-length");
  const bool hasLength = !lengthText.empty();
  if (hasLength) {
    r.content_length = ParseInt(lengthText);
    if (r.content_length < 0) throw Error("content-length无效:" + lengthText);
    if (static_cast<std::size_t>(r.content_length) > kMaxResponseBytes) throw Error(kTooLarge);
  }
  r.is_chunked = r.header.Get("Transfer-Encoding") == "chunked";
  r.body.assign(r.source.begin() + static_cast<std::ptrdiff_t>(r.body_start), r.source.end());

  if (HasNoBody(r.status_code)) {
    r.body.clear();
    return r;
  }

  if (r.is_chunked) {
    ChunkedDecoder decoder;
    decoder.Feed(r.body.data(), r.body.size());
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
    while (r.body.size() < want) {
      std::size_t n = ReadOnce(in, buffer, received);
      if (n == 0) throw PeerConnectionClose();
      r.body.insert(r.body.end(), buffer, buffer + std::min(n, want - r.body.size()));
    }
    return r;
  }

  // Neither length nor chunking: the body ends where the peer closes.
  for (;;) {
    std::size_t n = ReadOnce(in, buffer, received);
    if (n == 0) break;
    r.body.insert(r.body.end(), buffer, buffer + n);
  }
  return r;
}

}  // namespace sion
