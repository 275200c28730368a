// Where each plane of an archive lies in its source's dimensions, found by running the
// source's own header parsers over the original bytes that the archive restores on demand.
#pragma once

#include <vector>

#include "tarn/archive/archive.hpp"

namespace tarn::archive {

// One position per plane of `archive`, in the order of Planes(); empty positions when the
// original is of no known kind or its headers cannot be walked (a warning says why).
std::vector<Position> LocatePlanes(const Archive& archive);

}  // namespace tarn::archive
