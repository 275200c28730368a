// Metadata JSON side files.
#include <memory>

#include <json/reader.h>
#include <json/writer.h>

#include "tarn/file/destination.hpp"
#include "tarn/file/file.hpp"

namespace tarn {

Json::Value FromJsonFile(const std::filesystem::path& path) {
  if (!std::filesystem::exists(path)) {
    throw std::filesystem::filesystem_error("cannot deserialize JSON file", path,
                                            std::make_error_code(std::errc::no_such_file_or_directory));
  }
  std::ifstream in;
  in.exceptions(std::ios::badbit | std::ios::failbit);
  in.open(path);
  // The reader stops at end of file; only bad reads should throw from here on.
  in.exceptions(std::ios::badbit);
  Json::CharReaderBuilder builder;
  Json::Value value;
  std::string errors;
  if (!Json::parseFromStream(builder, in, &value, &errors)) {
    throw std::runtime_error("cannot parse JSON file " + path.string() + ": " + errors);
  }
  return value;
}

void ToJsonFile(const Metadata& metadata, const std::filesystem::path& path) {
  // Written like every output: beside its name, synced, then renamed into place.
  DestinationFile output(path);
  Json::StreamWriterBuilder builder;
  const std::unique_ptr<Json::StreamWriter> writer(builder.newStreamWriter());
  // Exactly the default writer's text, as every other writer of these files produces it.
  writer->write(metadata.ToJson(), &output.stream());
  output.Commit();
}

}  // namespace tarn
