// Clearing what interrupted transfers left behind: temporaries of this library whose
// process is gone or that are older than a day, and records whose stored file never
// followed. Best effort: a leftover that cannot be removed now is tried next time.
#pragma once

#include <filesystem>
#include <string>

#include "storage.hpp"

namespace caddistransfer {

// Sweeps `folder` of the storage ("" for its root), and every folder below when `recursive`.
// Returns how many leftovers were removed.
std::size_t SweepStorage(Storage& storage, const std::string& folder, bool recursive);

// Sweeps a local folder that downloads write into: this library's temporaries, and the
// unfinished outputs of libtarn (tarn::RemoveLeftovers), which downloads write now.
std::size_t SweepLocalFolder(const std::filesystem::path& folder);

}  // namespace caddistransfer
