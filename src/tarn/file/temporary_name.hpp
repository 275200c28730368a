// Names of outputs in progress. An output that cannot be written without a name (a file
// system without unnamed files, or the instant before it replaces an existing file) is
// hidden beside its destination and records its writer:
//   .<destination name>.tarn-<machine>-<boot>-<pid>-<start>-<random>
// (util::ProcessIdentity), so that a later run can prove the writer gone before it
// removes the file. Earlier versions wrote ".<destination name>.tarn-XXXXXX", with no
// writer recorded.
#pragma once

#include <optional>
#include <string>
#include <variant>

#include "tarn/util/process_identity.hpp"

namespace tarn {

// A fresh name for an output of this process that will be called `final_name` (a file name).
std::string OwnedTemporaryName(const std::string& final_name);
// The same for the process `owner`.
std::string OwnedTemporaryName(const std::string& final_name, const util::ProcessIdentity& owner);

// What a name says about the file: not an output in progress, one of an earlier version
// (no writer known), or one whose writer it names.
struct NotTemporary {};
struct UnownedTemporary {};
using TemporaryKind = std::variant<NotTemporary, UnownedTemporary, util::ProcessIdentity>;

TemporaryKind ClassifyTemporaryName(const std::string& name);

// True for both kinds of temporaries.
bool IsTemporaryName(const std::string& name);

}  // namespace tarn
