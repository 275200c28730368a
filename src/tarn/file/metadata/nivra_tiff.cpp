// Already Nivra-encoded TIFFs: recognised and rewritten by the TIFF code (placeholder).
#include "tarn/error.hpp"
#include "tarn/file/metadata/metadata.hpp"

namespace tarn {

bool Metadata::IsNivraTiff() const { return false; }

Metadata Metadata::HandleNivraTiff(std::istream&, std::ostream&) const {
  throw implementation_error("Metadata::HandleNivraTiff is not available yet");
}

}  // namespace tarn
