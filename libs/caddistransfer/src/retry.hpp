// Runs an operation again after failures that may pass (TransferError but not
// PermanentError), waiting a little longer each time.
#pragma once

#include <algorithm>
#include <chrono>
#include <string>
#include <thread>

#include "error.hpp"

namespace caddistransfer {

inline constexpr auto kFirstRetryPause = std::chrono::milliseconds(100);

template <class Operation>
auto WithRetries(unsigned retries, std::chrono::milliseconds first_pause, Operation&& operation) {
  auto pause = first_pause;
  for (unsigned attempt = 0;; ++attempt) {
    try {
      return operation();
    } catch (const PermanentError&) {
      throw;
    } catch (const TransferError& error) {
      if (attempt >= retries) {
        if (attempt == 0) throw;
        throw TransferError(std::string(error.what()) + " (gave up after " + std::to_string(attempt + 1) +
                            " attempts)");
      }
    }
    std::this_thread::sleep_for(pause);
    pause = std::min(pause * 2, std::chrono::milliseconds(2000));
  }
}

}  // namespace caddistransfer
