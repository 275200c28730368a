// Stream helpers: exact copies and whole-span reads and writes.
#include "tarn/util/stream.hpp"

#include <algorithm>
#include <limits>
#include <vector>

namespace tarn {
namespace {

constexpr uint64_t kMaxTransfer = static_cast<uint64_t>(std::numeric_limits<std::streamsize>::max());

}  // namespace

uint64_t ReadStreamToSpan(std::istream& in, std::span<uint8_t> span) {
  uint64_t total = 0;
  while (total < span.size()) {
    const auto want = static_cast<std::streamsize>(std::min<uint64_t>(span.size() - total, kMaxTransfer));
    std::streamsize got = 0;
    try {
      in.read(reinterpret_cast<char*>(span.data() + total), want);
      got = in.gcount();
    } catch (const std::ios_base::failure&) {
      // A stream with exceptions enabled throws at its end; the short count is the answer.
      if (in.bad()) throw;
      got = in.gcount();
    }
    total += static_cast<uint64_t>(got);
    // End of stream (or a stream that delivers nothing): stop instead of asking again.
    if (got < want) break;
  }
  return total;
}

uint64_t WriteSpanToStream(std::span<const uint8_t> span, std::ostream& out) {
  uint64_t total = 0;
  while (total < span.size()) {
    const auto count = static_cast<std::streamsize>(std::min<uint64_t>(span.size() - total, kMaxTransfer));
    out.write(reinterpret_cast<const char*>(span.data() + total), count);
    if (!out) throw std::ios_base::failure("could not write to output stream");
    total += static_cast<uint64_t>(count);
  }
  return total;
}

}  // namespace tarn

namespace tarn::util {

void StreamCopyN(std::istream& in, uint64_t n, std::ostream& out) {
  constexpr uint64_t kBufferSize = 1 << 20;
  std::vector<uint8_t> buffer(static_cast<size_t>(std::min(n, kBufferSize)));
  while (n > 0) {
    const auto block = std::span(buffer).first(static_cast<size_t>(std::min<uint64_t>(n, buffer.size())));
    const uint64_t got = ReadStreamToSpan(in, block);
    if (got != block.size()) throw std::ios_base::failure("StreamCopyN: input ended before the requested bytes");
    WriteSpanToStream(block, out);
    n -= got;
  }
}

}  // namespace tarn::util
