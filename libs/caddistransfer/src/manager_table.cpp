#include "manager_table.hpp"

#include <string>

#include "error.hpp"

namespace caddistransfer {

uint8_t ManagerTable::Create() {
  std::lock_guard lock(mutex_);
  for (int step = 1; step <= 255; ++step) {
    const auto id = static_cast<uint8_t>((last_id_ + step - 1) % 255 + 1);
    if (!managers_[id]) {
      managers_[id] = std::make_shared<Manager>(id);
      last_id_ = id;
      return id;
    }
  }
  return 0;
}

std::shared_ptr<Manager> ManagerTable::Find(uint8_t id) const {
  std::lock_guard lock(mutex_);
  return managers_[id];
}

std::shared_ptr<Manager> ManagerTable::Require(uint8_t id) const {
  auto manager = Find(id);
  if (!manager) throw PermanentError("no manager with id " + std::to_string(id));
  return manager;
}

std::shared_ptr<Manager> ManagerTable::Remove(uint8_t id) {
  std::lock_guard lock(mutex_);
  return std::exchange(managers_[id], nullptr);
}

ManagerTable& Managers() {
  static ManagerTable table;
  return table;
}

}  // namespace caddistransfer
