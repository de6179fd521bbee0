// The answer side: the Response record and the parser that reads one from a Stream.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

#include "http/Header.h"
#include "http/Stream.h"

namespace sion {

// Nothing larger is read: header block and body together, as received. The
// SDK's answers are a few KiB; an answer becomes about ten times its size in
// memory on its way to the game (wide text, JSON values), so this keeps one
// answer's peak in the tens of MiB.
inline constexpr std::size_t kMaxResponseBytes = 4u * 1024u * 1024u;
// The header block (status line to the empty line) and its fields.
inline constexpr std::size_t kMaxHeaderBytes = 64u * 1024u;
inline constexpr std::size_t kMaxHeaderFields = 100;

struct Response {
  static constexpr std::size_t kUnknown = static_cast<std::size_t>(-1);

  bool is_chunked = false;
  std::int32_t content_length = 0;  // from the header; after de-chunking the decoded length
  std::vector<char> source;         // every byte received until the header block was complete
  std::string protocol_version;
  std::string status_code;
  std::string status_text;
  std::vector<char> body;  // de-chunked when chunked
  Header header;           // keys in lower case
  std::size_t body_start = kUnknown;

  // The body up to its first zero byte.
  std::string StrBody() const;
};

// Decodes a chunked body fed in pieces: hex sizes, extensions ignored, trailers
// skipped. Throws sion::Error on broken framing or when the decoded body would
// pass kMaxResponseBytes.
class ChunkedDecoder {
 public:
  // Consumes bytes up to the end of the message; returns how many were used
  // (fewer than size only once Done()).
  std::size_t Feed(const char* data, std::size_t size);
  bool Done() const { return state_ == State::Done; }
  std::vector<char>& Output() { return output_; }

 private:
  enum class State { SizeLine, Data, DataEnd, Trailer, Done };
  void EndSizeLine();

  State state_ = State::SizeLine;
  std::string line_;             // the size or trailer line being collected
  std::size_t remaining_ = 0;    // data bytes left in the current chunk
  std::vector<char> output_;
};

// Reads one answer: interim (1xx) answers are skipped, then the header block,
// then the body by its framing (chunked, content-length, or up to the peer's
// close; none at all when nothing follows the header block). Throws sion::Error (and
// PeerConnectionClose) on failure, std::invalid_argument / std::out_of_range
// for an unusable content-length number.
Response ReadResponse(Stream& in);

}  // namespace sion
