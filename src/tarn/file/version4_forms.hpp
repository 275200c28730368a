// Compressed files for readers of container version 4: the one place that decides what
// such a file may hold. Re-encoded images stay the plain data of their source bytes (so
// the block is version 4); the Nivra stream version that readers of version 4 decode
// belongs here as well, next to the chunks it applies to.
#pragma once

#include "tarn/file/metadata/metadata.hpp"

namespace tarn {

// The metadata with only the forms of container version 4.
Metadata WithVersion4FormsOnly(const Metadata& metadata);

}  // namespace tarn
