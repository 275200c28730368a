#include "tarn/util/json.hpp"

#include <memory>
#include <stdexcept>

#include <json/reader.h>
#include <json/writer.h>

namespace tarn {

Json::Value FromJsonString(std::string_view text) {
  Json::CharReaderBuilder builder;
  // Metadata blocks come from files that may be damaged or hostile: refuse what is not
  // plain JSON and bound the nesting so parsing cannot exhaust the stack.
  Json::CharReaderBuilder::strictMode(&builder.settings_);
  builder["stackLimit"] = 200;
  const std::unique_ptr<Json::CharReader> reader(builder.newCharReader());
  Json::Value value;
  std::string errors;
  bool parsed = false;
  try {
    parsed = reader->parse(text.data(), text.data() + text.size(), &value, &errors);
  } catch (const Json::Exception& error) {
    errors = error.what();
  }
  if (!parsed) throw std::runtime_error("FromJsonString: " + errors);
  return value;
}

std::string ToCompactJsonString(const Json::Value& json) {
  Json::StreamWriterBuilder builder;
  builder["indentation"] = "";
  builder["emitUTF8"] = true;
  // Object members come out in the key order of Json::Value's map, which is byte order.
  return Json::writeString(builder, json);
}

}  // namespace tarn
