#include "temporary_name.hpp"

#include <cerrno>
#include <random>
#include <system_error>
#include <vector>

#include <stdlib.h>

#include "error.hpp"

namespace caddistransfer {

std::string RandomHex(std::size_t digits) {
  thread_local std::mt19937_64 generator{std::random_device{}()};
  static constexpr char kDigits[] = "0123456789abcdef";
  std::string text;
  for (std::size_t i = 0; i < digits; ++i) text += kDigits[generator() % 16];
  return text;
}

std::filesystem::path TemporaryNameBeside(const std::filesystem::path& final_path) {
  return final_path.parent_path() / ("." + final_path.filename().string() + ".part-" + RandomHex(12));
}

ScopedDirectory::ScopedDirectory(const std::filesystem::path& parent, const std::string& prefix) {
  std::string pattern = (parent / (prefix + "XXXXXX")).string();
  std::vector<char> buffer(pattern.begin(), pattern.end());
  buffer.push_back('\0');
  if (::mkdtemp(buffer.data()) == nullptr) {
    throw TransferError(SystemErrorText("cannot create a work directory in " + parent.string(), errno));
  }
  path_ = buffer.data();
}

ScopedDirectory::~ScopedDirectory() {
  std::error_code ignored;
  std::filesystem::remove_all(path_, ignored);
}

}  // namespace caddistransfer
