// Construction, reading and the four walks of Metadata.
#include "tarn/file/metadata/metadata.hpp"

#include <algorithm>
#include <cctype>
#include <exception>
#include <fstream>
#include <stdexcept>

#include "tarn/error.hpp"
#include "tarn/file/metadata/chunk/codec/nivra.hpp"
#include "tarn/file/metadata/chunk/unspecified_data.hpp"
#include "tarn/file/metadata/chunk_walk.hpp"
#include "tarn/file/readers.hpp"
#include "tarn/logger.hpp"

namespace tarn {

namespace metadata {

uint64_t ChunksLength(const Chunks& chunks) {
  uint64_t total = 0;
  for (const auto& chunk : chunks) total += chunk->length;
  return total;
}

Chunks CloneChunks(const Chunks& chunks) {
  Chunks clones;
  clones.reserve(chunks.size());
  for (const auto& chunk : chunks) clones.push_back(chunk->Clone());
  return clones;
}

}  // namespace metadata

namespace {

constexpr uint64_t kFooterSize = 12;

Chunks CheckedChunks(uint64_t length, Chunks chunks) {
  if (chunks.empty()) throw std::invalid_argument("Metadata must contain at least one chunk");
  uint64_t total = 0;
  for (const auto& chunk : chunks) {
    if (!chunk) throw std::invalid_argument("Metadata must not contain an empty chunk slot");
    // A sum that wraps would slip past the length check below.
    if (chunk->length > length - std::min(total, length)) {
      throw std::invalid_argument(
          "Length of the represented data should be greater or equal to the total chunks length");
    }
    total += chunk->length;
  }
  const uint64_t serialized = length - total;
  if (serialized != 0 && serialized < kFooterSize) {
    throw std::invalid_argument("If there is any serialized metadata, it must at least have the size of the footer");
  }
  return chunks;
}

std::string LowercaseExtension(const std::filesystem::path& path) {
  std::string extension = path.extension().string();
  std::transform(extension.begin(), extension.end(), extension.begin(),
                 [](unsigned char c) { return static_cast<char>(std::tolower(c)); });
  return extension;
}

// A chunk's failure as the walk's error class: codec errors keep their text and status,
// the library's own errors pass unchanged, anything else is nested in a status 3 error.
template <class WalkError, bool kCodecInMessage>
[[noreturn]] void ThrowAsWalkError(const std::exception_ptr& failure) {
  try {
    std::rethrow_exception(failure);
  } catch (const Brimlake::Nivra::NivraError& error) {
    throw WalkError(error);
  } catch (const Error&) {
    throw;
  } catch (const std::exception& error) {
    if constexpr (kCodecInMessage) {
      std::throw_with_nested(WalkError(error.what(), Codec::Unknown, kTarnStatusUnknownError));
    } else {
      std::throw_with_nested(WalkError(error.what(), kTarnStatusUnknownError));
    }
  } catch (...) {
    if constexpr (kCodecInMessage) {
      std::throw_with_nested(WalkError("unknown", Codec::Unknown, kTarnStatusUnknownError));
    } else {
      std::throw_with_nested(WalkError("unknown", kTarnStatusUnknownError));
    }
  }
}

// Runs one chunk operation per chunk, in file order as far as the output is concerned.
template <class WalkError, bool kCodecInMessage>
Metadata Walk(const Metadata& metadata, std::istream& in, std::ostream& out, const metadata::ChunkOperation& operation,
              metadata::OutputGuess output_guess) {
  // A chunk beyond the described length fails in its place, after the chunks before it.
  size_t inside = 0;
  uint64_t end = 0;
  for (const auto& chunk : metadata.chunks) {
    end += chunk->length;
    if (end > metadata.length || end < chunk->length) break;
    ++inside;
  }
  metadata::WalkResult result = metadata::WalkChunks(metadata.chunks, inside, in, out, operation, output_guess);
  if (result.failure) ThrowAsWalkError<WalkError, kCodecInMessage>(result.failure);
  if (inside < metadata.chunks.size()) throw bad_metadata("Attempted to access chunk outside data boundaries");
  const uint64_t total = metadata::ChunksLength(result.written);
  return Metadata(total, std::move(result.written));
}

// Counts the chunks whose operation prepared an image; each runs on one thread, which
// counts the images it prepares (a fallback may prepare the same image twice).
template <class Operation>
metadata::ChunkOperation CountingPrepared(Operation operation, std::atomic<size_t>& prepared_chunks) {
  return [operation, &prepared_chunks](const Chunk& chunk, std::istream& in, std::ostream& out) {
    const uint64_t before = codec::nivra::PreparedOnThisThread();
    std::unique_ptr<Chunk> written = operation(chunk, in, out);
    if (codec::nivra::PreparedOnThisThread() != before) ++prepared_chunks;
    return written;
  };
}

// The chunks are coded on the library's threads with the stream version the caller chose.
template <class Operation>
metadata::ChunkOperation InCallersStreamVersion(Operation operation) {
  const unsigned version = codec::nivra::StreamVersionOnThisThread();
  return [operation, version](const Chunk& chunk, std::istream& in, std::ostream& out) {
    const codec::nivra::StreamVersionScope scope(version);
    return operation(chunk, in, out);
  };
}

// The image codec stores at most half of an image; zstd may need more and grows the buffer.
uint64_t EncodedGuess(const Chunk& chunk) { return chunk.length / 2 + 4096; }
uint64_t DecodedGuess(const Chunk& chunk) { return chunk.DecodedLength(); }
uint64_t SameSizeGuess(const Chunk& chunk) { return chunk.length; }

}  // namespace

Metadata::Metadata(uint64_t length, Chunks chunks) : length(length), chunks(CheckedChunks(length, std::move(chunks))) {}

Metadata::Metadata(const Metadata& other) : Metadata(other.length, metadata::CloneChunks(other.chunks)) {}

Metadata Metadata::FromChunks(Chunks chunks) {
  const uint64_t total = metadata::ChunksLength(chunks);
  return Metadata(total, std::move(chunks));
}

Metadata Metadata::FromReader(uint64_t length, ChunkMap map) {
  Chunks chunks;
  chunks.reserve(2 * map.size() + 1);
  uint64_t position = 0;
  for (auto& [offset, chunk] : map) {
    if (!chunk) throw bad_metadata("reader returned an empty chunk");
    if (offset < position) throw bad_metadata("provided chunks are overlapped");
    if (offset > position) chunks.push_back(std::make_unique<chunk::UnspecifiedData>(offset - position));
    if (chunk->length > UINT64_MAX - offset) throw bad_metadata("chunk ends beyond the largest file offset");
    position = offset + chunk->length;
    chunks.push_back(std::move(chunk));
  }
  if (length > position) chunks.push_back(std::make_unique<chunk::UnspecifiedData>(length - position));
  return Metadata(length, std::move(chunks));
}

Metadata Metadata::Read(const std::filesystem::path& path) {
  const std::string extension = LowercaseExtension(path);
  const uint64_t size = std::filesystem::file_size(path);
  if (size == 0) throw Error("file " + path.string() + " is empty", kTarnStatusIncompatibleImage);

  if (extension == ".nivra") {
    try {
      return DeserializeFromFile(path);
    } catch (const std::exception& error) {
      Logger()->warn("Failed to deserialize {} metadata from {}: {}. Fallback to metadata readers.", extension,
                     path.string(), error.what());
    }
  }
  ChunkMap map;
  if (auto reader = kReaders.find(extension); reader != kReaders.end()) {
    try {
      map = reader->second(path);
      CheckChunkCount(map, size);
    } catch (const std::exception& error) {
      Logger()->warn("Failed to read {} metadata from {}: {}. Fallback to default metadata.", extension,
                     path.string(), error.what());
      map.clear();
    }
  }
  try {
    return FromReader(size, std::move(map));
  } catch (const std::exception& error) {
    // A reader whose chunks do not fit the file is as good as a failing reader.
    if (kReaders.count(extension) == 0) throw;
    Logger()->warn("Failed to read {} metadata from {}: {}. Fallback to default metadata.", extension,
                   path.string(), error.what());
    return FromReader(size, {});
  }
}

uint64_t Metadata::CurrentLength() const { return metadata::ChunksLength(chunks); }

uint64_t Metadata::SerializedLength() const { return length - CurrentLength(); }

uint64_t Metadata::DecodedLength() const {
  if (!decoded_length_) {
    uint64_t total = 0;
    for (const auto& chunk : chunks) {
      const uint64_t decoded = chunk->DecodedLength();
      if (decoded > UINT64_MAX - total) throw bad_metadata("decoded length exceeds the largest file size");
      total += decoded;
    }
    decoded_length_ = total;
  }
  return *decoded_length_;
}

bool Metadata::operator==(const Metadata& other) const {
  if (length != other.length || chunks.size() != other.chunks.size()) return false;
  for (size_t i = 0; i < chunks.size(); ++i) {
    if (!(*chunks[i] == *other.chunks[i])) return false;
  }
  return true;
}

Metadata Metadata::EncodeStream(std::istream& in, std::ostream& out) const {
  return Walk<EncodeError, true>(
      *this, in, out,
      InCallersStreamVersion(
          [](const Chunk& chunk, std::istream& i, std::ostream& o) { return chunk.EncodeStream(i, o); }),
      EncodedGuess);
}

Metadata Metadata::DecodeStream(std::istream& in, std::ostream& out) const {
  return Walk<DecodeError, true>(
      *this, in, out, [](const Chunk& chunk, std::istream& i, std::ostream& o) { return chunk.DecodeStream(i, o); },
      DecodedGuess);
}

Metadata Metadata::PrepareStream(std::istream& in, std::ostream& out) const {
  std::atomic<size_t> ignored{0};
  return PrepareStream(in, out, ignored);
}

Metadata Metadata::PrepareAndEncodeStream(std::istream& in, std::ostream& out) const {
  std::atomic<size_t> ignored{0};
  return PrepareAndEncodeStream(in, out, ignored);
}

Metadata Metadata::PrepareStream(std::istream& in, std::ostream& out, std::atomic<size_t>& prepared_chunks) const {
  return Walk<PrepareError, false>(
      *this, in, out,
      CountingPrepared([](const Chunk& chunk, std::istream& i, std::ostream& o) { return chunk.PrepareStream(i, o); },
                       prepared_chunks),
      SameSizeGuess);
}

Metadata Metadata::PrepareAndEncodeStream(std::istream& in, std::ostream& out,
                                          std::atomic<size_t>& prepared_chunks) const {
  return Walk<PrepareAndEncodeError, false>(
      *this, in, out,
      InCallersStreamVersion(CountingPrepared(
          [](const Chunk& chunk, std::istream& i, std::ostream& o) { return chunk.PrepareAndEncodeStream(i, o); },
          prepared_chunks)),
      EncodedGuess);
}

}  // namespace tarn
