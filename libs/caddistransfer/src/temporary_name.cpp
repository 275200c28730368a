#include "temporary_name.hpp"

#include <cerrno>
#include <cstdlib>
#include <fstream>
#include <random>

#include <signal.h>
#include <unistd.h>

#include "checksum.hpp"
#include "tarn/util/process_identity.hpp"

namespace caddistransfer {
namespace {

constexpr std::size_t kMaxKeptNameBytes = 180;  // the whole name stays below 255 bytes
// A process's start time is computed from two clocks, a modification time is rounded.
constexpr auto kClockSlack = std::chrono::seconds(2);

std::string FirstLine(const char* path) {
  std::ifstream in(path);
  std::string line;
  std::getline(in, line);
  return line;
}

std::string ProcessNamespaceLink() {
  char target[128];
  const ssize_t length = ::readlink("/proc/self/ns/pid", target, sizeof target);
  return length > 0 ? std::string(target, static_cast<std::size_t>(length)) : std::string();
}

// Names this machine, boot and process-id namespace: only there does a pid mean the
// same process. Eight hex digits keep the names short.
const std::string& MachineTag() {
  static const std::string tag = [] {
    char host[256] = {};
    ::gethostname(host, sizeof host - 1);
    const Digest digest =
        ChecksumOf(std::string(host) + '\n' + FirstLine("/proc/sys/kernel/random/boot_id") + '\n' + ProcessNamespaceLink());
    return digest.Hex().substr(0, 8);
  }();
  return tag;
}

struct Owner {
  std::string machine;
  pid_t pid;
};

std::optional<Owner> OwnerOf(const std::string& name) {
  if (name.compare(0, kTemporaryPrefix.size(), kTemporaryPrefix) != 0) return std::nullopt;
  const std::string rest = name.substr(kTemporaryPrefix.size());
  const auto first = rest.find('-');
  const auto second = first == std::string::npos ? std::string::npos : rest.find('-', first + 1);
  const auto third = second == std::string::npos ? std::string::npos : rest.find('-', second + 1);
  if (first != 8 || third == std::string::npos) return std::nullopt;
  const std::string pid_text = rest.substr(first + 1, second - first - 1);
  if (pid_text.empty() || pid_text.size() > 10 || pid_text.find_first_not_of("0123456789") != std::string::npos) {
    return std::nullopt;
  }
  return Owner{rest.substr(0, first), static_cast<pid_t>(std::strtol(pid_text.c_str(), nullptr, 10))};
}

}  // namespace

std::string RandomHex(std::size_t digits) {
  thread_local std::mt19937_64 generator{std::random_device{}()};
  static constexpr char kDigits[] = "0123456789abcdef";
  std::string text;
  for (std::size_t i = 0; i < digits; ++i) text += kDigits[generator() % 16];
  return text;
}

std::string TemporaryName(const std::string& final_name) {
  return std::string(kTemporaryPrefix) + MachineTag() + "-" + std::to_string(::getpid()) + "-" + RandomHex(12) +
         "-" + final_name.substr(0, kMaxKeptNameBytes);
}

bool IsTemporaryName(const std::string& name) { return OwnerOf(name).has_value(); }

bool IsStaleTemporary(const std::string& name, std::chrono::system_clock::time_point modified,
                      std::chrono::system_clock::time_point now) {
  const auto owner = OwnerOf(name);
  if (!owner) return false;
  // Another machine's (or this one's before it booted again): only age can tell.
  if (owner->machine != MachineTag()) return now - modified > kLeftoverAge;
  if (owner->pid <= 0) return false;
  // EPERM means the process runs under another user: it is alive.
  if (::kill(owner->pid, 0) != 0 && errno == ESRCH) return true;
  // The writer ran when it last wrote; a process that started later only reuses its pid.
  const auto started = tarn::util::ProcessStartTime(owner->pid);
  return started && *started > modified + kClockSlack;
}

}  // namespace caddistransfer
