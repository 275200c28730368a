#include "tarn/file/metadata/chunk/codec/util/recover_encode_error.hpp"

#include "tarn/logger.hpp"

namespace tarn::codec {

void RecoverEncodeError(const EncodeError& error, std::istream& in, std::istream::pos_type before) {
  if (before == std::istream::pos_type(-1)) {
    Logger()->warn(
        "Could not recover from encoder error. Could not determine the position that the stream had before "
        "failing to encode.");
    throw error;
  }
  in.clear();
  try {
    in.seekg(before);
  } catch (const std::ios_base::failure&) {
    // Reported below through the stream state.
  }
  if (in.fail() || in.bad()) {
    Logger()->warn(
        "Could not recover from encoder error. Could seek the position that the position that the stream had "
        "before failing to encode.");
    throw error;
  }
}

}  // namespace tarn::codec
