// Filling the codec library's calibration registry from files and folders.
#pragma once

#include <cstddef>
#include <filesystem>

#include "nivra/nivra.hpp"

namespace Brimlake::Nivra::ParameterRegistry {

// Loads the installation's and the user's calibration folders; returns the count loaded.
int DefaultInitialize();
// A file counts 1 once loaded; a directory is loaded as a folder.
int LoadPath(const std::filesystem::path& path);
// Loads every calibration file of the folder; malformed files are skipped with a warning.
int LoadFolder(const std::filesystem::path& folder);
// Loads one camera calibration in the Pellum form; returns the number of identifiers added.
std::size_t LoadPellumJson(const std::filesystem::path& path);

}  // namespace Brimlake::Nivra::ParameterRegistry
