#include "util.hpp"

#include <cstdlib>
#include <memory>
#include <stdexcept>

namespace caddis::transfer::util {

namespace {

std::string ManagerErrorText(uint8_t id, const std::string& operation, char* message) {
  // Own the message first so it is released even if building the text throws.
  std::unique_ptr<char, decltype(&std::free)> owned(message, &std::free);
  return "manager " + std::to_string(id) + " failed to " + operation + ": " + owned.get();
}

bool Matches(const Napi::Value& value, Kind kind) {
  switch (kind) {
    case Kind::kNumber:
      return value.IsNumber();
    case Kind::kString:
      return value.IsString();
    case Kind::kStringArray:
      return value.IsArray();
    case Kind::kStringOrStringArray:
      return value.IsString() || value.IsArray();
    case Kind::kStringOrUndefined:
      return value.IsString() || value.IsUndefined();
  }
  return false;
}

}  // namespace

uint8_t ParseManagerId(Napi::Env env, const Napi::Number& number) {
  const int64_t value = number.Int64Value();
  if (static_cast<uint64_t>(value) > 255) throw Napi::RangeError::New(env, "ManagerId out of range for uint8_t");
  return static_cast<uint8_t>(value);
}

void CheckManagerError(Napi::Env env, uint8_t id, const std::string& operation, char* message) {
  if (message == nullptr) return;
  throw Napi::Error::New(env, ManagerErrorText(id, operation, message));
}

void CheckManagerError(uint8_t id, const std::string& operation, char* message) {
  if (message == nullptr) return;
  throw std::runtime_error(ManagerErrorText(id, operation, message));
}

Napi::String TakeLibraryString(Napi::Env env, char* text, const std::string& missing) {
  if (text == nullptr) throw Napi::Error::New(env, missing);
  std::unique_ptr<char, decltype(&std::free)> owned(text, &std::free);
  return Napi::String::New(env, owned.get());
}

void CheckArguments(const Napi::CallbackInfo& info, std::initializer_list<Kind> kinds, const char* message) {
  bool ok = info.Length() == kinds.size();
  std::size_t index = 0;
  for (auto kind = kinds.begin(); ok && kind != kinds.end(); ++kind, ++index) ok = Matches(info[index], *kind);
  if (!ok) throw Napi::TypeError::New(info.Env(), message);
}

std::vector<std::string> ToStringList(const Napi::Value& value) {
  if (value.IsString()) return {value.As<Napi::String>().Utf8Value()};
  const auto array = value.As<Napi::Array>();
  std::vector<std::string> list;
  list.reserve(array.Length());
  try {
    for (uint32_t i = 0; i < array.Length(); ++i) list.push_back(array.Get(i).As<Napi::String>().Utf8Value());
  } catch (const Napi::Error& error) {
    // The runtime reports a non-string element as a TypeError; it is a plain Error here,
    // since the argument itself passed its type check.
    throw Napi::Error::New(value.Env(), error.Message());
  }
  return list;
}

std::filesystem::path ToPath(const Napi::Value& value) {
  const std::string text = value.As<Napi::String>().Utf8Value();
  return std::filesystem::path(std::u8string(text.begin(), text.end()));
}

CStringList::CStringList(const std::vector<std::string>& strings) {
  pointers_.reserve(strings.size());
  for (const auto& text : strings) pointers_.push_back(text.c_str());
}

void AddLogDirectory(const std::filesystem::path&) {}

}  // namespace caddis::transfer::util
