// Who wrote a file, told precisely enough that a later process can decide whether that
// writer still runs. A pid alone is not enough: pids are reused, and a pid means one
// process only within one boot and one pid namespace. The start time (in clock ticks
// after boot) of the process with that pid tells a reused pid from the writer.
#pragma once

#include <sys/types.h>

#include <chrono>
#include <cstdint>
#include <optional>
#include <string>

namespace tarn::util {

struct ProcessIdentity {
  std::string machine;  // 8 hex digits naming the machine (its machine id, else its host name)
  std::string boot;     // 8 hex digits naming the boot and pid namespace; "" when unknown
  pid_t pid = 0;
  uint64_t start = 0;  // clock ticks after boot; 0 when unknown
};

enum class Liveness { kRuns, kGone, kUnknown };

// This process.
const ProcessIdentity& CurrentProcess();

// When the process `pid` started, in clock ticks after boot (/proc/<pid>/stat); none when
// there is no such process or it cannot be read.
std::optional<uint64_t> ProcessStartTicks(pid_t pid);

// The same as a point in time; none when unknown.
std::optional<std::chrono::system_clock::time_point> ProcessStartTime(pid_t pid);

// When this machine booted; none when unknown.
std::optional<std::chrono::system_clock::time_point> BootTime();

// Whether the process `owner` names still runs. kGone only with proof: the same boot and
// no process with that pid, or one that started at another time; or the same machine and
// `last_written` (the owner's file's modification time) before this boot began. kUnknown
// whenever the facts cannot be read (another machine, another pid namespace, no /proc).
Liveness LivenessOf(const ProcessIdentity& owner, std::chrono::system_clock::time_point last_written);

}  // namespace tarn::util
