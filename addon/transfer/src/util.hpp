// Shared argument and error rules of the transfer module.
#pragma once

#include <cstdint>
#include <filesystem>
#include <string>
#include <vector>

#include <napi.h>

namespace caddis::transfer::util {

// The manager id from a JavaScript number: cut toward zero, RangeError above 255
// (which includes every negative number).
uint8_t ParseManagerId(Napi::Env env, const Napi::Number& number);

// Throws Error "manager <id> failed to <operation>: <message>" when the library
// reported a message, releasing it.
void CheckManagerError(Napi::Env env, uint8_t id, const std::string& operation, char* message);
// The same for worker threads: throws std::runtime_error, which rejects the Promise.
void CheckManagerError(uint8_t id, const std::string& operation, char* message);

// Copies a string the library returned and releases it; Error `missing` on NULL.
Napi::String TakeLibraryString(Napi::Env env, char* text, const std::string& missing);

// Argument checks: exact count, then each type left to right.
enum class Kind { kNumber, kString, kStringArray, kStringOrStringArray, kStringOrUndefined };
void CheckArguments(const Napi::CallbackInfo& info, std::initializer_list<Kind> kinds, const char* message);

// Elements of an array, in index order; a non-string element throws the runtime's Error.
std::vector<std::string> ToStringList(const Napi::Value& value);

std::filesystem::path ToPath(const Napi::Value& value);

// Pointers into owned strings for the library; an empty list is (NULL, 0).
class CStringList {
 public:
  explicit CStringList(const std::vector<std::string>& strings);
  const char* const* data() const { return pointers_.empty() ? nullptr : pointers_.data(); }
  std::size_t size() const { return pointers_.size(); }

 private:
  std::vector<const char*> pointers_;
};

// Where log files would go; this platform keeps no log directory.
void AddLogDirectory(const std::filesystem::path& directory);

}  // namespace caddis::transfer::util
