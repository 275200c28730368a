// The codec library's camera calibration registry, and the log directory check.
#include <system_error>

#include "caddistransfer.h"
#include "exports.hpp"
#include "nivra/nivra.hpp"
#include "util.hpp"

namespace caddis::transfer {

using util::Kind;

Napi::Value CalibrationRegistryDefaultInitialize(const Napi::CallbackInfo& info) {
  util::CheckArguments(info, {}, "no argument expected");
  return Napi::Number::New(info.Env(), static_cast<double>(::CalibrationRegistryDefaultInitialize()));
}

Napi::Value CalibrationRegistryLoadPath(const Napi::CallbackInfo& info) {
  util::CheckArguments(info, {Kind::kString}, "expected path: string");
  const std::string path = info[0].As<Napi::String>().Utf8Value();
  return Napi::Number::New(info.Env(), static_cast<double>(::CalibrationRegistryLoadPath(path.c_str())));
}

Napi::Value CalibrationRegistryClear(const Napi::CallbackInfo& info) {
  util::CheckArguments(info, {}, "no argument expected");
  ::CalibrationRegistryClear();
  return info.Env().Undefined();
}

Napi::Value CalibrationRegistryGetCameraIdentifiers(const Napi::CallbackInfo& info) {
  util::CheckArguments(info, {}, "no argument expected");
  namespace registry = Brimlake::Nivra::ParameterRegistry;
  auto cameras = Napi::Object::New(info.Env());
  for (const auto& identifier : registry::get_identifiers()) cameras.Set(identifier, registry::get_metadata(identifier));
  return cameras;
}

Napi::Value AddLogDirectory(const Napi::CallbackInfo& info) {
  util::CheckArguments(info, {Kind::kString}, "expected path: string");
  const std::string text = info[0].As<Napi::String>().Utf8Value();
  const auto path = util::ToPath(info[0]);
  std::filesystem::path parent = path.parent_path();
  if (parent.empty()) parent = ".";
  std::error_code error;
  // A parent that is a file cannot hold the directory either.
  const bool parent_is_directory = std::filesystem::is_directory(parent, error);
  if (error && error != std::errc::no_such_file_or_directory && error != std::errc::not_a_directory) {
    throw Napi::Error::New(info.Env(), error.message());
  }
  if (!parent_is_directory) throw Napi::Error::New(info.Env(), text + ": No such file or directory");
  const auto status = std::filesystem::status(path, error);
  if (error && error != std::errc::no_such_file_or_directory) throw Napi::Error::New(info.Env(), error.message());
  if (std::filesystem::exists(status) && !std::filesystem::is_directory(status)) {
    throw Napi::Error::New(info.Env(), text + ": Not a directory");
  }
  util::AddLogDirectory(path);
  return info.Env().Undefined();
}

}  // namespace caddis::transfer
