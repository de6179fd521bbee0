// The response reader fed in pieces of random sizes, as a network delivers
// them: header blocks, interim answers, every framing, the caps.
#include <fuzzer/FuzzedDataProvider.h>

#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <exception>
#include <string>
#include <vector>

#include "http/Response.h"

namespace {

class Pieces : public sion::Stream {
 public:
  Pieces(std::vector<std::size_t> sizes, std::string bytes) : sizes_(std::move(sizes)), bytes_(std::move(bytes)) {}
  std::size_t Read(char* buffer, std::size_t size) override {
    if (offset_ >= bytes_.size()) return 0;
    std::size_t n = next_ < sizes_.size() ? sizes_[next_++] : size;
    n = std::min({n == 0 ? 1 : n, size, bytes_.size() - offset_});
    std::memcpy(buffer, bytes_.data() + offset_, n);
    offset_ += n;
    return n;
  }
  bool ClosedCleanly() const override { return sizes_.size() % 2 == 0; }

 private:
  std::vector<std::size_t> sizes_;
  std::string bytes_;
  std::size_t next_ = 0;
  std::size_t offset_ = 0;
};

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  FuzzedDataProvider in(data, size);
  std::vector<std::size_t> sizes(in.ConsumeIntegralInRange<std::size_t>(0, 16));
  for (auto& s : sizes) s = in.ConsumeIntegralInRange<std::size_t>(1, 64);
  Pieces stream(std::move(sizes), in.ConsumeRemainingBytesAsString());
  try {
    sion::Response r = sion::ReadResponse(stream);
    if (r.body.size() > sion::kMaxResponseBytes || r.header.Size() > sion::kMaxHeaderFields) std::abort();
    if (r.is_chunked && static_cast<std::size_t>(r.content_length) != r.body.size()) std::abort();
    (void)r.StrBody();
  } catch (const std::exception&) {
  }
  return 0;
}
