#include "tarn/file/version4_forms.hpp"

#include "tarn/file/metadata/chunk/reencoded_image.hpp"

namespace tarn {

Metadata WithVersion4FormsOnly(const Metadata& metadata) {
  // Readers of version 4 also decode only Nivra streams of version 2: once the encoder can
  // be told to write those, this is where the walk below is told so.
  return Metadata(metadata.length, chunk::WithSourceBytesKept(metadata.chunks));
}

}  // namespace tarn
