// A contiguous byte range of a container file and how its bytes are coded.
#pragma once

#include <cstdint>
#include <istream>
#include <memory>
#include <optional>
#include <ostream>
#include <string>
#include <utility>

#include <json/value.h>

#include "tarn/file/metadata/chunk/codec/codec.hpp"

namespace tarn {

// What a stream operation wrote: its codec and its length in bytes.
using CodecResult = std::pair<Codec, uint64_t>;

class Chunk {
 public:
  Chunk(Codec codec, uint64_t length);  // length 0 throws std::invalid_argument
  virtual ~Chunk() = default;
  Chunk(const Chunk&) = delete;
  Chunk& operator=(const Chunk&) = delete;

  virtual Json::Value ToJson() const;  // {"codec", "length"} and "checksum" when known; kinds add their keys
  virtual std::unique_ptr<Chunk> CloneWithCodec(Codec codec, uint64_t length) const = 0;
  virtual uint64_t DecodedLength() const = 0;
  virtual void SetCalibrationId(const std::string& id);
  // Same codec and length; kinds compare their own fields too.
  virtual bool operator==(const Chunk& other) const;

  // The same chunk, checksum included.
  std::unique_ptr<Chunk> Clone() const;
  // The oldest container version whose readers know this chunk's form.
  virtual unsigned ContainerVersion() const;

  // Each reads exactly this chunk's bytes from `in`, appends its result to `out`
  // and returns the chunk that describes what was written. Encoding gives a chunk that
  // is stored as it is (codec None) the checksum of its bytes; decoding such a chunk
  // checks them (status 7 when they differ).
  std::unique_ptr<Chunk> EncodeStream(std::istream& in, std::ostream& out) const;
  std::unique_ptr<Chunk> DecodeStream(std::istream& in, std::ostream& out) const;
  std::unique_ptr<Chunk> PrepareStream(std::istream& in, std::ostream& out) const;
  std::unique_ptr<Chunk> PrepareAndEncodeStream(std::istream& in, std::ostream& out) const;

  // An Image, InterleavedImage or UnspecifiedData depending on the keys present.
  static std::unique_ptr<Chunk> FromJson(const Json::Value& json, int version);

  const Codec codec;
  const uint64_t length;
  // XXH3-64 of the stored bytes of a chunk kept without coding ("checksum" in the JSON);
  // nothing for chunks written before they carried one.
  std::optional<uint64_t> checksum;

 protected:
  // What EncodeStream and PrepareAndEncodeStream run: the hooks below, described by
  // CloneWithCodec. A kind whose result may be of another kind overrides these.
  virtual std::unique_ptr<Chunk> EncodeToChunk_(std::istream& in, std::ostream& out) const;
  virtual std::unique_ptr<Chunk> PrepareAndEncodeToChunk_(std::istream& in, std::ostream& out) const;

  virtual CodecResult EncodeStream_(std::istream& in, std::ostream& out) const = 0;
  virtual CodecResult DecodeStream_(std::istream& in, std::ostream& out) const = 0;
  virtual CodecResult PrepareStream_(std::istream& in, std::ostream& out) const = 0;
  virtual CodecResult PrepareAndEncodeStream_(std::istream& in, std::ostream& out) const = 0;

 private:
  using Operation = CodecResult (Chunk::*)(std::istream&, std::ostream&) const;
  std::unique_ptr<Chunk> Store(std::istream& in, std::ostream& out, Operation operation) const;
};

}  // namespace tarn
