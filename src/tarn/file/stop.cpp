#include "tarn/file/stop.hpp"

#include <atomic>

namespace tarn {
namespace {

// Counts requests, so that one request stops the operations running then and no later ones.
std::atomic<uint64_t> stop_requests{0};
static_assert(std::atomic<uint64_t>::is_always_lock_free, "RequestStop must be callable from a signal handler");

}  // namespace

void RequestStop() noexcept { stop_requests.fetch_add(1, std::memory_order_relaxed); }

Stopped::Stopped() : Error("the operation was stopped on request; its output was removed", kTarnStatusStopped) {}

StopCheck::StopCheck() noexcept : seen_(stop_requests.load(std::memory_order_relaxed)) {}

bool StopCheck::Requested() const noexcept { return stop_requests.load(std::memory_order_relaxed) != seen_; }

void StopCheck::ThrowIfRequested() const {
  if (Requested()) throw Stopped();
}

}  // namespace tarn
