// A storage that is a folder of the local file system (or a mounted one), named by a
// file:// URL. Beside each stored file `x.nivra` lies its record `x.nivra.caddis.json`.
//
// A put writes a hidden temporary beside the final name. Commit places the record first
// and the file second, each with a rename that never replaces: the record claims the
// name, so of several puts exactly one wins, and a stored file is never seen without
// its record. A record whose file does not follow within a few seconds was left by a
// process that died between the two renames, and gives way.
#pragma once

#include <filesystem>
#include <memory>
#include <string>

#include "contained_directory.hpp"
#include "storage.hpp"

namespace caddistransfer {

inline constexpr std::string_view kRecordSuffix = ".caddis.json";

class FileStorage final : public Storage {
 public:
  FileStorage(std::string id, std::filesystem::path root);

  const std::string& id() const override { return id_; }
  std::string Describe() const override;
  void RequireReachable() override;
  void Probe() override;
  std::optional<ObjectInfo> Stat(const std::string& name) override;
  std::unique_ptr<StoredObject> Open(const std::string& name) override;
  std::unique_ptr<PendingObject> BeginPut(const std::string& name) override;
  bool Remove(const std::string& name) override;
  std::vector<Leftover> ListLeftovers(const std::string& folder, bool recursive) override;
  void RemoveLeftover(const Leftover& leftover) override;

 private:
  std::shared_ptr<const ContainedDirectory> Root();

  std::string id_;
  std::filesystem::path root_;
};

}  // namespace caddistransfer
