// Puts an input stream back where a failed encoder found it.
#pragma once

#include <istream>

#include "tarn/error.hpp"

namespace tarn::codec {

// Returns when `in` stands at `before` again; otherwise logs and throws a copy of `error`.
void RecoverEncodeError(const EncodeError& error, std::istream& in, std::istream::pos_type before);

}  // namespace tarn::codec
