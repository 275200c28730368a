#include "tarn/file/metadata/chunk/image/length_limit.hpp"

#include <stdexcept>
#include <string>

namespace tarn::chunk::image {

void CheckImageLength(uint64_t decoded_length) {
  if (decoded_length > kMaxImageBytes) {
    throw std::invalid_argument("Image data of 4 GiB or more is not supported (" + std::to_string(decoded_length) +
                                " bytes)");
  }
}

}  // namespace tarn::chunk::image
