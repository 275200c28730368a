// Stream helpers shared by every chunk kind.
#pragma once

#include <cstdint>
#include <istream>
#include <ostream>
#include <span>

namespace tarn::util {

// Copies exactly n bytes; throws std::ios_base::failure when `in` ends first.
void StreamCopyN(std::istream& in, uint64_t n, std::ostream& out);

}  // namespace tarn::util

namespace tarn {

// Reads until the span is full or the stream ends; returns the count read.
uint64_t ReadStreamToSpan(std::istream& in, std::span<uint8_t> span);
// Writes the whole span; returns the count written.
uint64_t WriteSpanToStream(std::span<const uint8_t> span, std::ostream& out);

}  // namespace tarn
