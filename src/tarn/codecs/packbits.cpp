#include "tarn/codecs/packbits.hpp"

#include <algorithm>

namespace tarn::codecs::packbits {
namespace {

// libtiff's encoder of one row: a state machine that merges a literal, a run of two and
// the next literal into one literal.
void EncodeRow(std::span<const uint8_t> row, std::vector<uint8_t>& out) {
  enum class State { kBase, kLiteral, kRun, kLiteralRun };
  State state = State::kBase;
  size_t last_literal = 0;  // index in `out` of the open literal's count byte
  size_t at = 0;
  while (at < row.size()) {
    const uint8_t byte = row[at++];
    long n = 1;
    while (at < row.size() && row[at] == byte) {
      ++n;
      ++at;
    }
    for (bool again = true; again;) {
      again = false;
      switch (state) {
        case State::kBase:
        case State::kRun:
          if (n > 1) {
            state = State::kRun;
            if (n > 128) {
              out.push_back(static_cast<uint8_t>(-127));
              out.push_back(byte);
              n -= 128;
              again = true;
              break;
            }
            out.push_back(static_cast<uint8_t>(-(n - 1)));
            out.push_back(byte);
          } else {
            last_literal = out.size();
            out.push_back(0);
            out.push_back(byte);
            state = State::kLiteral;
          }
          break;
        case State::kLiteral:
          if (n > 1) {
            state = State::kLiteralRun;
            if (n > 128) {
              out.push_back(static_cast<uint8_t>(-127));
              out.push_back(byte);
              n -= 128;
              again = true;
              break;
            }
            out.push_back(static_cast<uint8_t>(-(n - 1)));
            out.push_back(byte);
          } else {
            if (++out[last_literal] == 127) state = State::kBase;
            out.push_back(byte);
          }
          break;
        case State::kLiteralRun:
          // A run of two after a literal, then a single byte: all one literal.
          if (n == 1 && out[out.size() - 2] == static_cast<uint8_t>(-1) && out[last_literal] < 126) {
            out[last_literal] = static_cast<uint8_t>(out[last_literal] + 2);
            state = out[last_literal] == 127 ? State::kBase : State::kLiteral;
            out[out.size() - 2] = out[out.size() - 1];
          } else {
            state = State::kRun;
          }
          again = true;
          break;
      }
    }
  }
}

}  // namespace

std::vector<uint8_t> Decode(std::span<const uint8_t> stream, size_t size) {
  std::vector<uint8_t> out;
  out.reserve(size);
  size_t at = 0;
  while (out.size() < size) {
    if (at >= stream.size()) throw FormatError("PackBits data ends before the strip is complete");
    const auto n = static_cast<int8_t>(stream[at++]);
    if (n >= 0) {
      const size_t count = static_cast<size_t>(n) + 1;
      if (at + count > stream.size() || out.size() + count > size) {
        throw FormatError("PackBits literal runs past the data or the strip");
      }
      out.insert(out.end(), stream.begin() + static_cast<std::ptrdiff_t>(at),
                 stream.begin() + static_cast<std::ptrdiff_t>(at + count));
      at += count;
    } else if (n != -128) {
      const size_t count = static_cast<size_t>(1 - n);
      if (at >= stream.size() || out.size() + count > size) throw FormatError("PackBits run runs past the strip");
      out.insert(out.end(), count, stream[at++]);
    }
  }
  if (at != stream.size()) throw FormatError("PackBits data goes on past the end of the strip");
  return out;
}

std::vector<uint8_t> Encode(std::span<const uint8_t> bytes, size_t row_bytes) {
  std::vector<uint8_t> out;
  out.reserve(bytes.size() + bytes.size() / 64 + 2);
  if (row_bytes == 0) row_bytes = std::max<size_t>(bytes.size(), 1);
  for (size_t start = 0; start < bytes.size(); start += row_bytes) {
    EncodeRow(bytes.subspan(start, std::min(row_bytes, bytes.size() - start)), out);
  }
  return out;
}

}  // namespace tarn::codecs::packbits
