// A whole file described as chunks lying end to end from offset 0.
#pragma once

#include <atomic>
#include <cstddef>
#include <cstdint>
#include <filesystem>
#include <istream>
#include <memory>
#include <optional>
#include <ostream>
#include <vector>

#include <json/value.h>

#include "tarn/file/metadata/chunk/chunk.hpp"
#include "tarn/file/metadata/chunk_map.hpp"

namespace tarn {

using Chunks = std::vector<std::unique_ptr<Chunk>>;

namespace metadata {

uint64_t ChunksLength(const Chunks& chunks);
Chunks CloneChunks(const Chunks& chunks);

}  // namespace metadata

class Metadata {
 public:
  // Checks: at least one chunk; chunks fit in `length`; what follows them is 0 or >= 12 bytes.
  Metadata(uint64_t length, Chunks chunks);
  // Clones every chunk and checks again; the decoded-length cache is not copied.
  Metadata(const Metadata& other);
  Metadata& operator=(const Metadata&) = delete;

  // A file without serialized part.
  static Metadata FromChunks(Chunks chunks);
  // Fills gaps and the tail of the reader's chunks with unspecified data.
  static Metadata FromReader(uint64_t length, ChunkMap map);
  // From a compressed file's own block, else the reader for the extension, else one chunk.
  static Metadata Read(const std::filesystem::path& path);

  uint64_t CurrentLength() const;
  uint64_t SerializedLength() const;
  uint64_t DecodedLength() const;  // cached on first call; not thread-safe
  bool operator==(const Metadata& other) const;

  // The walks: each chunk reads exactly its bytes from `in` and appends its result to
  // `out`; the returned metadata describes what was written (no serialized part).
  // Chunks are coded on the thread pool; the output is the same whatever its size.
  Metadata EncodeStream(std::istream& in, std::ostream& out) const;
  Metadata DecodeStream(std::istream& in, std::ostream& out) const;
  Metadata PrepareStream(std::istream& in, std::ostream& out) const;
  Metadata PrepareAndEncodeStream(std::istream& in, std::ostream& out) const;
  // The same, adding to `prepared_chunks` one for every chunk whose image they prepared.
  Metadata PrepareStream(std::istream& in, std::ostream& out, std::atomic<size_t>& prepared_chunks) const;
  Metadata PrepareAndEncodeStream(std::istream& in, std::ostream& out, std::atomic<size_t>& prepared_chunks) const;

  // The metadata block (JSON) and footer of compressed files. The block's version is the
  // oldest that knows every chunk's form: 4, or 5 for a file holding re-encoded images.
  unsigned ContainerVersion() const;
  Json::Value ToJson() const;
  static Metadata FromJson(const Json::Value& json);
  // Appends block and footer; returns the metadata of the whole written file.
  Metadata SerializeToStream(std::ostream& out) const;
  // A block that carries a checksum is checked against it; every failure is an exception.
  static Metadata DeserializeFromStream(std::istream& in);
  static Metadata DeserializeFromFile(const std::filesystem::path& path);
  // True when the stream ends like a compressed file: a footer of a version this library
  // reads, naming a block that fits in front of it and is framed by '{' and '}'. It says
  // nothing about whether the block is intact. The file form throws when it cannot be opened.
  static bool IsCompressedStream(std::istream& in);
  static bool IsCompressedFile(const std::filesystem::path& path);

  // TIFFs whose strips are already Nivra-encoded are rewritten instead of walked.
  bool IsNivraTiff() const;
  Metadata HandleNivraTiff(std::istream& in, std::ostream& out) const;

  // The length of the whole file described, serialized part included.
  const uint64_t length;
  // The pointers are fixed; the chunks themselves may change (calibration ids).
  const Chunks chunks;

 private:
  mutable std::optional<uint64_t> decoded_length_;
};

}  // namespace tarn
