#include "tarn/file/version4_forms.hpp"

#include "tarn/file/metadata/chunk/reencoded_image.hpp"

namespace tarn {

Metadata WithVersion4FormsOnly(const Metadata& metadata) {
  // Readers of version 4 also decode only Nivra streams up to version 2; the compressing
  // walk asks the encoder for those (StreamVersionScope in file.cpp).
  return Metadata(metadata.length, chunk::WithSourceBytesKept(metadata.chunks));
}

}  // namespace tarn
