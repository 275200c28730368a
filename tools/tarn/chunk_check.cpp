#include "chunk_check.hpp"

#include <algorithm>
#include <cstring>
#include <fstream>
#include <streambuf>
#include <vector>

#include <fmt/format.h>

#include "chunk_kind.hpp"
#include "interrupt.hpp"
#include "tarn/file/metadata/metadata.hpp"

namespace tarn::cli {
namespace {

// Takes decoded bytes, counts them and, given an original, compares them with it.
class DecodedSink : public std::streambuf {
 public:
  explicit DecodedSink(std::istream* original) : original_(original) {}

  uint64_t count() const { return count_; }
  const std::optional<uint64_t>& first_difference() const { return first_difference_; }

  // After the last chunk: an original with bytes left over differs too.
  void Finish() {
    if (original_ != nullptr && !first_difference_ && original_->peek() != std::char_traits<char>::eof()) {
      first_difference_ = count_;
    }
  }

 protected:
  std::streamsize xsputn(const char* data, std::streamsize size) override {
    if (original_ != nullptr && !first_difference_) Compare(data, static_cast<size_t>(size));
    count_ += static_cast<uint64_t>(size);
    return size;
  }

  int_type overflow(int_type c) override {
    if (traits_type::eq_int_type(c, traits_type::eof())) return traits_type::not_eof(c);
    const char byte = traits_type::to_char_type(c);
    xsputn(&byte, 1);
    return c;
  }

 private:
  void Compare(const char* data, size_t size) {
    buffer_.resize(size);
    original_->read(buffer_.data(), static_cast<std::streamsize>(size));
    const auto got = static_cast<size_t>(original_->gcount());
    const auto mismatch = std::mismatch(data, data + got, buffer_.data());
    if (mismatch.first != data + got || got < size) {
      first_difference_ = count_ + static_cast<uint64_t>(mismatch.first - data);
    }
  }

  std::istream* original_;
  std::vector<char> buffer_;
  uint64_t count_ = 0;
  std::optional<uint64_t> first_difference_;
};

// The message of an exception and of every exception nested in it.
std::string Explain(const std::exception& error) {
  std::string text = error.what();
  try {
    std::rethrow_if_nested(error);
  } catch (const std::exception& inner) {
    const std::string more = Explain(inner);
    if (text.find(more) == std::string::npos) text += ": " + more;
  } catch (...) {
  }
  return text;
}

bool HasDecoder(Codec codec) { return codec == Codec::None || codec == Codec::Nivra || codec == Codec::Zstd; }

// Decodes one chunk that starts at `offset`; returns why it is damaged, or nothing.
std::optional<std::string> CheckChunk(const Chunk& chunk, uint64_t offset, std::ifstream& in, DecodedSink& sink) {
  if (!HasDecoder(chunk.codec)) return fmt::format("codec number {} has no decoder", static_cast<uint32_t>(chunk.codec));
  std::ostream out(&sink);
  const uint64_t before = sink.count();
  try {
    in.clear();
    in.seekg(static_cast<std::streamoff>(offset));
    chunk.DecodeStream(in, out);
    const auto end = static_cast<uint64_t>(static_cast<std::streamoff>(in.tellg()));
    if (end != offset + chunk.length) {
      return fmt::format("decoding read {} bytes of the chunk's {}", end - offset, chunk.length);
    }
  } catch (const std::exception& error) {
    return Explain(error);
  } catch (...) {
    return "decoding failed with an unknown error";
  }
  const uint64_t produced = sink.count() - before;
  if (produced != chunk.DecodedLength()) {
    return fmt::format("decoded to {} bytes instead of {}", produced, chunk.DecodedLength());
  }
  return std::nullopt;
}

}  // namespace

std::string CheckReport::Describe() const {
  if (block_fault) return "damaged description: " + *block_fault;
  if (chunk_fault) {
    return fmt::format("damaged chunk {} at offset {} ({}, {}): {}", chunk_fault->index, chunk_fault->offset,
                       chunk_fault->kind, chunk_fault->codec, chunk_fault->reason);
  }
  if (difference) return *difference;
  return "";
}

CheckReport CheckCompressedFile(const std::filesystem::path& path, const std::optional<std::filesystem::path>& original) {
  CheckReport report;
  std::optional<Metadata> metadata;
  std::ifstream in;
  try {
    metadata.emplace(Metadata::DeserializeFromFile(path));
    in.exceptions(std::ios::badbit | std::ios::failbit);
    in.open(path, std::ios::binary);
  } catch (const std::exception& error) {
    report.block_fault = Explain(error);
    return report;
  }

  std::ifstream original_stream;
  if (original) {
    original_stream.open(*original, std::ios::binary);
    if (!original_stream) {
      report.difference = fmt::format("cannot read {} to compare with: {}", original->string(), std::strerror(errno));
      return report;
    }
  }
  DecodedSink sink(original ? &original_stream : nullptr);
  uint64_t offset = 0;
  for (const auto& chunk : metadata->chunks) {
    ThrowIfInterrupted();
    if (ChunkMark(*chunk, in, offset) == kPreparedMark) ++report.prepared_chunks;
    if (auto reason = CheckChunk(*chunk, offset, in, sink)) {
      report.chunk_fault =
          ChunkFault{report.chunks, offset, ChunkKindName(*chunk), std::string(CodecName(chunk->codec)), *reason};
      return report;
    }
    ++report.chunks;
    offset += chunk->length;
  }
  report.decoded_bytes = sink.count();
  sink.Finish();
  if (sink.first_difference()) {
    report.difference =
        fmt::format("decoded data differs from {} at byte {}", original->string(), *sink.first_difference());
  }
  return report;
}

}  // namespace tarn::cli
