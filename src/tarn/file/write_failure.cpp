#include "tarn/file/write_failure.hpp"

#include <system_error>

#include <fmt/format.h>

#include "tarn/error.hpp"

namespace tarn {

void ThrowWriteFailure(std::string_view action, const std::filesystem::path& path, int error_number) {
  // The category's message is strerror's text, built without strerror's shared buffer.
  throw Error(fmt::format("{} {}: {}", action, path.string(), std::generic_category().message(error_number)),
              kTarnStatusCouldNotWriteFile);
}

}  // namespace tarn
