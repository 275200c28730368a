#include "tarn/util/process_identity.hpp"

#include <signal.h>
#include <time.h>
#include <unistd.h>

#include <cerrno>
#include <fstream>
#include <sstream>

#include <fmt/format.h>

#include "tarn/util/checksum.hpp"

namespace tarn::util {
namespace {

using Clock = std::chrono::system_clock;

// A file's modification time may lag its last write by the file system's granularity,
// and the boot time is computed from two clocks read one after the other.
constexpr auto kClockSlack = std::chrono::minutes(1);

std::string FirstLine(const std::string& path) {
  std::ifstream in(path);
  std::string line;
  std::getline(in, line);
  return line;
}

std::string Tag(const std::string& text) { return fmt::format("{:08x}", static_cast<uint32_t>(Xxh3(text))); }

std::string MachineName() {
  std::string name = FirstLine("/etc/machine-id");
  if (!name.empty()) return name;
  char host[256] = {};
  ::gethostname(host, sizeof host - 1);
  return host;
}

std::string BootName() {
  const std::string boot = FirstLine("/proc/sys/kernel/random/boot_id");
  if (boot.empty()) return {};
  char space[128];
  const ssize_t length = ::readlink("/proc/self/ns/pid", space, sizeof space);
  if (length <= 0) return {};
  return boot + '\n' + std::string(space, static_cast<size_t>(length));
}

}  // namespace

const ProcessIdentity& CurrentProcess() {
  // Fixed for the process's life; a forked child is another process and asks afresh.
  thread_local ProcessIdentity identity;
  if (identity.pid != ::getpid()) {
    static const std::string machine = Tag(MachineName());
    static const std::string boot = [] {
      const std::string name = BootName();
      return name.empty() ? std::string() : Tag(name);
    }();
    identity.machine = machine;
    identity.boot = boot;
    identity.pid = ::getpid();
    identity.start = ProcessStartTicks(identity.pid).value_or(0);
  }
  return identity;
}

std::optional<uint64_t> ProcessStartTicks(pid_t pid) {
  const std::string stat = FirstLine("/proc/" + std::to_string(pid) + "/stat");
  // The command name in parentheses may hold spaces and parentheses itself.
  const size_t name_end = stat.rfind(')');
  if (name_end == std::string::npos) return std::nullopt;
  std::istringstream fields(stat.substr(name_end + 1));
  std::string field;
  // Field 22 of the line; the first after the name is field 3.
  for (int number = 3; number <= 22; ++number) {
    if (!(fields >> field)) return std::nullopt;
  }
  if (field.empty() || field.find_first_not_of("0123456789") != std::string::npos) return std::nullopt;
  return std::stoull(field);
}

std::optional<Clock::time_point> BootTime() {
  timespec boot{};
  if (::clock_gettime(CLOCK_BOOTTIME, &boot) != 0) return std::nullopt;
  const auto since_boot = std::chrono::seconds(boot.tv_sec) + std::chrono::nanoseconds(boot.tv_nsec);
  return Clock::now() - std::chrono::duration_cast<Clock::duration>(since_boot);
}

std::optional<Clock::time_point> ProcessStartTime(pid_t pid) {
  const auto ticks = ProcessStartTicks(pid);
  const auto boot = BootTime();
  const long per_second = ::sysconf(_SC_CLK_TCK);
  if (!ticks || !boot || per_second <= 0) return std::nullopt;
  return *boot + std::chrono::duration_cast<Clock::duration>(std::chrono::duration<double>(
                     static_cast<double>(*ticks) / static_cast<double>(per_second)));
}

Liveness LivenessOf(const ProcessIdentity& owner, Clock::time_point last_written) {
  const ProcessIdentity& self = CurrentProcess();
  if (!self.boot.empty() && owner.boot == self.boot) {
    if (owner.pid <= 0) return Liveness::kUnknown;
    // EPERM: a process of another user has that pid.
    if (::kill(owner.pid, 0) != 0 && errno == ESRCH) return Liveness::kGone;
    const auto start = ProcessStartTicks(owner.pid);
    if (!start || owner.start == 0) return Liveness::kUnknown;
    return *start == owner.start ? Liveness::kRuns : Liveness::kGone;
  }
  // Written on this machine before it last booted: no process of that boot runs now.
  if (owner.machine == self.machine) {
    const auto boot = BootTime();
    if (boot && last_written + kClockSlack < *boot) return Liveness::kGone;
  }
  return Liveness::kUnknown;
}

}  // namespace tarn::util
