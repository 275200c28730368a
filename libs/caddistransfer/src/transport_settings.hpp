// Transport and storage settings of one manager.
#pragma once

#include <cstdint>

namespace caddistransfer {

struct TransportSettings {
  static constexpr int32_t kDefaultBurst = 1 << 20;
  static constexpr uint32_t kMaxConcurrency = 256;
  static constexpr uint32_t kMaxRetries = 100;

  uint32_t concurrency = 4;         // queue items in flight
  double upload_limit = 0;          // bytes per second, 0 = unlimited
  int32_t upload_burst = kDefaultBurst;  // bytes the upload may run ahead of its limit
  double download_limit = 0;
  int32_t download_burst = kDefaultBurst;
  uint32_t retries = 3;             // further attempts of a failed storage operation
  uint32_t storage_concurrency = 4;  // storage reads and writes in flight
};

}  // namespace caddistransfer
