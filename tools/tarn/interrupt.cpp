#include "interrupt.hpp"

#include <signal.h>

#include <atomic>
#include <cstring>

#include "tarn/tarn.h"

namespace tarn::cli {
namespace {

std::atomic<int> received{0};
static_assert(std::atomic<int>::is_always_lock_free, "the handler may only touch lock-free atomics");

// Only async-signal-safe work here: the workers notice the flag, the library its stop
// request, and everything else happens on the program's own threads.
void OnSignal(int number) {
  int none = 0;
  if (received.compare_exchange_strong(none, number)) {
    TarnStopOperations();
    return;
  }
  // Asked twice: end now, as the signal would without a handler.
  ::signal(number, SIG_DFL);
  ::raise(number);
}

}  // namespace

void HandleInterrupts() {
  struct sigaction action {};
  action.sa_handler = OnSignal;
  sigemptyset(&action.sa_mask);
  // Interrupted system calls resume; the work stops where it looks at the flag.
  action.sa_flags = SA_RESTART;
  for (const int number : {SIGINT, SIGTERM, SIGHUP}) ::sigaction(number, &action, nullptr);
}

int InterruptSignal() { return received.load(); }

void ThrowIfInterrupted() {
  if (InterruptSignal() != 0) throw Interrupted{};
}

std::string SignalName(int signal) {
  switch (signal) {
    case SIGINT:
      return "SIGINT";
    case SIGTERM:
      return "SIGTERM";
    case SIGHUP:
      return "SIGHUP";
    default:
      return "signal " + std::to_string(signal);
  }
}

}  // namespace tarn::cli
