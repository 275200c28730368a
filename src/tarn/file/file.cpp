#include "tarn/file/file.hpp"

#include <atomic>
#include <cerrno>
#include <system_error>

#include <fmt/format.h>

#include "tarn/error.hpp"
#include "tarn/file/destination.hpp"
#include "tarn/file/metadata/chunk/codec/nivra.hpp"
#include "tarn/file/version4_forms.hpp"
#include "tarn/util/stream.hpp"

namespace tarn {
namespace {

namespace fs = std::filesystem;

fs::path CompressedName(const fs::path& destination, Options options) {
  if (IsOptionSet(options, Options::KeepDestinationName) || destination.extension() == kCompressedExtension) {
    return destination;
  }
  fs::path named = destination;
  named += kCompressedExtension;
  return named;
}

fs::path DecompressedName(const fs::path& destination) {
  if (destination.extension() != kCompressedExtension) return destination;
  fs::path named = destination;
  named.replace_extension();
  return named;
}

// Opens both ends, runs the walk, optionally appends the metadata block, and only then
// gives the output its name.
template <class Walk>
File Run(const File& file, const fs::path& destination, Options options, bool append_block, Walk walk) {
  std::ifstream source = file.SourceStream();
  DestinationFile output(file.path, destination, IsOptionSet(options, Options::Overwrite),
                         IsOptionSet(options, Options::CreateDirectories));
  const Metadata written = walk(file.metadata, source, output.stream());
  if (!append_block) {
    output.Commit();
    return File(destination, written);
  }
  const Metadata complete = written.SerializeToStream(output.stream());
  output.Commit();
  return File(destination, complete);
}

// The source's description as the output may hold it.
Metadata InFormatOf(const Metadata& metadata, Options options) {
  return IsOptionSet(options, Options::Version4Forms) ? WithVersion4FormsOnly(metadata) : Metadata(metadata);
}

// Readers of container version 4 decode Nivra streams up to version 2.
unsigned NivraStreamVersionFor(Options options) { return IsOptionSet(options, Options::Version4Forms) ? 2 : 0; }

}  // namespace

File::File(fs::path path, const Metadata& metadata) : path(std::move(path)), metadata(metadata) {}

File::File(fs::path path, const fs::path& metadata_json)
    : path(std::move(path)), metadata(Metadata::FromJson(FromJsonFile(metadata_json))) {}

File File::Read(const fs::path& path) { return File(path, Metadata::Read(path)); }

File File::ReadCompressed(const fs::path& path) {
  try {
    return File(path, Metadata::DeserializeFromFile(path));
  } catch (const Error&) {
    throw;
  } catch (const std::exception& error) {
    throw Error(fmt::format("file {} has no readable metadata block: {}", path.string(), error.what()),
                kTarnStatusInvalidFileContent);
  }
}

File File::Compress(const fs::path& destination, Options options) const {
  return Run(*this, CompressedName(destination, options), options, true,
             [options](const Metadata& source, std::istream& in, std::ostream& out) {
               const codec::nivra::StreamVersionScope stream_version(NivraStreamVersionFor(options));
               const Metadata metadata = InFormatOf(source, options);
               return metadata.IsNivraTiff() ? metadata.HandleNivraTiff(in, out) : metadata.EncodeStream(in, out);
             });
}

File File::Decompress(const fs::path& destination, Options options) const {
  return Run(*this, DecompressedName(destination), options, false,
             [](const Metadata& metadata, std::istream& in, std::ostream& out) {
               Metadata decoded = metadata.DecodeStream(in, out);
               // Chunks that were copied instead of decoded must still give the promised size.
               if (decoded.length != metadata.DecodedLength()) {
                 throw DecodeError(fmt::format("restored {} bytes but the metadata promises {}", decoded.length,
                                               metadata.DecodedLength()),
                                   Codec::Unknown, kTarnStatusInvalidFileContent);
               }
               return decoded;
             });
}

File File::Prepare(const fs::path& destination, Options options, PrepareReport* report, bool write_unchanged) const {
  PrepareReport counted = PrepareReport::Of(metadata);
  auto conclude = [&](size_t prepared) {
    counted.Conclude(prepared);
    if (report != nullptr) *report = counted;
    if (!write_unchanged && counted.nothing_to_prepare) throw NothingToPrepare(*counted.nothing_to_prepare);
  };
  // Without a single image to prepare there is no need to read the file to know.
  if (counted.images == 0) conclude(0);
  return Run(*this, destination, options, false, [&](const Metadata& metadata, std::istream& in, std::ostream& out) {
    std::atomic<size_t> prepared{0};
    Metadata written = metadata.PrepareStream(in, out, prepared);
    conclude(prepared);  // before the output gets its name
    // A compressed source keeps its block and footer: without them the copy would be neither
    // the source nor a file that restores.
    const uint64_t serialized = metadata.SerializedLength();
    if (serialized == 0) return written;
    in.seekg(static_cast<std::streamoff>(metadata.CurrentLength()));
    util::StreamCopyN(in, serialized, out);
    return Metadata(written.length + serialized, metadata::CloneChunks(written.chunks));
  });
}

File File::PrepareAndCompress(const fs::path& destination, Options options, PrepareReport* report) const {
  PrepareReport counted = PrepareReport::Of(metadata);
  File compressed = Run(*this, CompressedName(destination, options), options, true,
                        [&](const Metadata& source, std::istream& in, std::ostream& out) {
                          const codec::nivra::StreamVersionScope stream_version(NivraStreamVersionFor(options));
                          const Metadata metadata = InFormatOf(source, options);
                          std::atomic<size_t> prepared{0};
                          Metadata written = metadata.IsNivraTiff() ? metadata.HandleNivraTiff(in, out)
                                                                    : metadata.PrepareAndEncodeStream(in, out, prepared);
                          counted.Conclude(prepared);
                          return written;
                        });
  if (report != nullptr) *report = counted;
  return compressed;
}

void File::SetCalibrationId(const std::string& id) const {
  for (const auto& chunk : metadata.chunks) chunk->SetCalibrationId(id);
}

std::ifstream File::SourceStream() const {
  std::ifstream in(path, std::ios::binary);
  // The stream's own failure text says nothing about the file; name it and the reason.
  if (!in) {
    throw std::ios_base::failure("could not open source file " + path.string(),
                                 std::error_code(errno, std::generic_category()));
  }
  in.exceptions(std::ios::badbit | std::ios::failbit);
  return in;
}

std::ofstream File::DestinationStream(const fs::path& destination, bool overwrite, bool create_directories) const {
  CheckDestination(path, destination, overwrite);
  if (create_directories && !destination.parent_path().empty()) fs::create_directories(destination.parent_path());
  std::ofstream out(destination, std::ios::binary | std::ios::trunc);
  if (!out) throw std::ios_base::failure("could not open destination stream to path " + destination.string());
  // Write failures (a full disk) must not pass unnoticed.
  out.exceptions(std::ios::badbit | std::ios::failbit);
  return out;
}

}  // namespace tarn
