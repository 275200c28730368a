// The process-wide table of managers, named by ids 1..255.
#pragma once

#include <array>
#include <cstdint>
#include <memory>
#include <mutex>

#include "manager.hpp"

namespace caddistransfer {

class ManagerTable {
 public:
  // A new manager's id, or 0 when all 255 are in use. Ids are handed out round
  // robin so that a just-deleted id is not reused at once by a new manager.
  uint8_t Create();
  std::shared_ptr<Manager> Find(uint8_t id) const;
  // Throws PermanentError when the id names no manager.
  std::shared_ptr<Manager> Require(uint8_t id) const;
  // The removed manager (operations still running keep it alive), or null.
  std::shared_ptr<Manager> Remove(uint8_t id);

 private:
  mutable std::mutex mutex_;
  std::array<std::shared_ptr<Manager>, 256> managers_;
  uint8_t last_id_ = 0;
};

ManagerTable& Managers();

}  // namespace caddistransfer
