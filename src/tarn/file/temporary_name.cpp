#include "tarn/file/temporary_name.hpp"

#include <algorithm>
#include <cctype>
#include <cstdint>
#include <random>
#include <string_view>
#include <vector>

#include <fmt/format.h>

namespace tarn {
namespace {

constexpr std::string_view kMark = ".tarn-";
// Keeps the whole name below the 255 bytes file systems allow.
constexpr size_t kMaxKeptNameBytes = 160;
constexpr size_t kTagDigits = 8;
constexpr size_t kRandomDigits = 6;
// Written for a boot that could not be named; never taken as this process's boot.
constexpr std::string_view kUnknownBoot = "00000000";

bool All(std::string_view text, int (*test)(int)) {
  return std::all_of(text.begin(), text.end(), [test](char c) { return test(static_cast<unsigned char>(c)) != 0; });
}

bool IsHex(std::string_view text, size_t digits) {
  return text.size() == digits && std::all_of(text.begin(), text.end(), [](char c) {
           return (c >= '0' && c <= '9') || (c >= 'a' && c <= 'f');
         });
}

bool IsNumber(std::string_view text, size_t max_digits) {
  return !text.empty() && text.size() <= max_digits && All(text, isdigit);
}

std::vector<std::string_view> Split(std::string_view text, char separator) {
  std::vector<std::string_view> parts;
  for (size_t start = 0;;) {
    const size_t end = text.find(separator, start);
    parts.push_back(text.substr(start, end == std::string_view::npos ? std::string_view::npos : end - start));
    if (end == std::string_view::npos) return parts;
    start = end + 1;
  }
}

std::string RandomHex() {
  thread_local std::mt19937_64 generator{std::random_device{}()};
  return fmt::format("{:06x}", generator() & 0xffffff);
}

}  // namespace

std::string OwnedTemporaryName(const std::string& final_name) {
  return OwnedTemporaryName(final_name, util::CurrentProcess());
}

std::string OwnedTemporaryName(const std::string& final_name, const util::ProcessIdentity& owner) {
  const std::string kept = final_name.size() <= kMaxKeptNameBytes ? final_name : final_name.substr(0, kMaxKeptNameBytes);
  return fmt::format(".{}{}{}-{}-{}-{}-{}", kept, kMark, owner.machine, owner.boot.empty() ? kUnknownBoot : owner.boot,
                     owner.pid, owner.start, RandomHex());
}

TemporaryKind ClassifyTemporaryName(const std::string& name) {
  const size_t mark = name.rfind(kMark);
  if (name.empty() || name.front() != '.' || mark == std::string::npos) return NotTemporary{};
  const std::string_view tail = std::string_view(name).substr(mark + kMark.size());
  // mkostemp's six letters and digits.
  if (tail.size() == 6 && All(tail, isalnum)) return UnownedTemporary{};
  const auto fields = Split(tail, '-');
  if (fields.size() != 5 || !IsHex(fields[0], kTagDigits) || !IsHex(fields[1], kTagDigits) ||
      !IsNumber(fields[2], 10) || !IsNumber(fields[3], 19) || !IsHex(fields[4], kRandomDigits)) {
    return NotTemporary{};
  }
  util::ProcessIdentity owner;
  owner.machine = fields[0];
  owner.boot = fields[1] == kUnknownBoot ? std::string() : std::string(fields[1]);
  const long long pid = std::stoll(std::string(fields[2]));
  if (pid > INT32_MAX) return NotTemporary{};
  owner.pid = static_cast<pid_t>(pid);
  owner.start = std::stoull(std::string(fields[3]));
  return owner;
}

bool IsTemporaryName(const std::string& name) {
  return !std::holds_alternative<NotTemporary>(ClassifyTemporaryName(name));
}

}  // namespace tarn
