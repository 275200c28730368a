// One zstd frame per chunk through two fixed-size buffers, so memory stays bounded.
#include "tarn/file/metadata/chunk/codec/zstd.hpp"

#include <memory>
#include <vector>

#include <fmt/format.h>
#include <zstd.h>

#include "tarn/error.hpp"
#include "tarn/util/stream.hpp"

namespace tarn::codec::zstd {
namespace {

struct CContextFree {
  void operator()(ZSTD_CCtx* context) const { ZSTD_freeCCtx(context); }
};
struct DContextFree {
  void operator()(ZSTD_DCtx* context) const { ZSTD_freeDCtx(context); }
};

[[noreturn]] void ThrowEncode(const std::string& text, TarnStatus status) {
  throw EncodeError(text, Codec::Zstd, status);
}
[[noreturn]] void ThrowDecode(const std::string& text, TarnStatus status) {
  throw DecodeError(text, Codec::Zstd, status);
}

void Write(std::ostream& out, const std::vector<uint8_t>& buffer, size_t count) {
  WriteSpanToStream(std::span(buffer.data(), count), out);
}

// A file may hold thousands of small chunks: each thread keeps its contexts and buffers
// rather than allocating and clearing them for every chunk.
struct CompressionState {
  std::unique_ptr<ZSTD_CCtx, CContextFree> context{ZSTD_createCCtx()};
  std::vector<uint8_t> input = std::vector<uint8_t>(ZSTD_CStreamInSize());
  std::vector<uint8_t> output = std::vector<uint8_t>(ZSTD_CStreamOutSize());
};
struct DecompressionState {
  std::unique_ptr<ZSTD_DCtx, DContextFree> context{ZSTD_createDCtx()};
  std::vector<uint8_t> input = std::vector<uint8_t>(ZSTD_DStreamInSize());
  std::vector<uint8_t> output = std::vector<uint8_t>(ZSTD_DStreamOutSize());
};

CompressionState& ThreadCompressionState() {
  thread_local CompressionState state;
  if (!state.context) ThrowEncode("Could not create ZSTD compression context", kTarnStatusUnknownError);
  // A chunk that failed half way leaves its frame open: start every chunk afresh.
  ZSTD_CCtx_reset(state.context.get(), ZSTD_reset_session_and_parameters);
  return state;
}

DecompressionState& ThreadDecompressionState() {
  thread_local DecompressionState state;
  if (!state.context) ThrowDecode("Could not create ZSTD decompression context", kTarnStatusUnknownError);
  ZSTD_DCtx_reset(state.context.get(), ZSTD_reset_session_and_parameters);
  return state;
}

}  // namespace

CodecResult EncodeStream(const Chunk& chunk, std::istream& in, std::ostream& out) {
  CompressionState& state = ThreadCompressionState();
  const auto& context = state.context;
  std::vector<uint8_t>& input = state.input;
  std::vector<uint8_t>& output = state.output;
  // The frame records the size, so decoders can check it up front, and a checksum of
  // the content, so that damage to the stored frame is found when it is restored.
  ZSTD_CCtx_setPledgedSrcSize(context.get(), chunk.length);
  const size_t checksum = ZSTD_CCtx_setParameter(context.get(), ZSTD_c_checksumFlag, 1);
  if (ZSTD_isError(checksum)) ThrowEncode(ZSTD_getErrorName(checksum), kTarnStatusUnknownError);

  uint64_t consumed = 0;
  uint64_t written = 0;
  bool last = false;
  while (!last) {
    const uint64_t remaining = chunk.length - consumed;
    const size_t want = static_cast<size_t>(std::min<uint64_t>(remaining, input.size()));
    const uint64_t got = ReadStreamToSpan(in, std::span(input.data(), want));
    if (got != want) ThrowEncode("unexpected EOF", kTarnStatusInvalidFileContent);
    consumed += got;
    last = remaining < input.size();
    const ZSTD_EndDirective mode = last ? ZSTD_e_end : ZSTD_e_continue;

    ZSTD_inBuffer block{input.data(), want, 0};
    bool finished = false;
    do {
      ZSTD_outBuffer sink{output.data(), output.size(), 0};
      const size_t rest = ZSTD_compressStream2(context.get(), &sink, &block, mode);
      if (ZSTD_isError(rest)) ThrowEncode(ZSTD_getErrorName(rest), kTarnStatusUnknownError);
      Write(out, output, sink.pos);
      written += sink.pos;
      finished = last ? rest == 0 : block.pos == block.size;
    } while (!finished);
    if (block.pos != block.size) {
      ThrowEncode("implementation error: ZSTD only returns 0 when the input is completely consumed",
                  kTarnStatusUnknownError);
    }
  }
  return {Codec::Zstd, written};
}

CodecResult DecodeStream(const Chunk& chunk, std::istream& in, std::ostream& out) {
  DecompressionState& state = ThreadDecompressionState();
  const auto& context = state.context;
  std::vector<uint8_t>& input = state.input;
  std::vector<uint8_t>& output = state.output;
  const uint64_t expected = chunk.DecodedLength();

  uint64_t consumed = 0;
  uint64_t written = 0;
  size_t rest = 1;  // non-zero until the frame is complete and flushed
  while (consumed < chunk.length) {
    const size_t want = static_cast<size_t>(std::min<uint64_t>(chunk.length - consumed, input.size()));
    const uint64_t got = ReadStreamToSpan(in, std::span(input.data(), want));
    if (got != want) ThrowDecode("unexpected EOF", kTarnStatusInvalidFileContent);
    consumed += got;

    ZSTD_inBuffer block{input.data(), want, 0};
    ZSTD_outBuffer sink{output.data(), output.size(), 0};
    // A full output buffer may hide more output, so go on until it is not full.
    while (block.pos < block.size || sink.pos == sink.size) {
      sink.pos = 0;
      rest = ZSTD_decompressStream(context.get(), &sink, &block);
      if (ZSTD_isError(rest)) ThrowDecode(ZSTD_getErrorName(rest), kTarnStatusInvalidFileContent);
      written += sink.pos;
      // Stop a corrupt or hostile frame before it writes more than the chunk declares.
      if (written > expected) {
        ThrowDecode(fmt::format("chunk decodes to more than its declared {} bytes", expected),
                    kTarnStatusInvalidFileContent);
      }
      Write(out, output, sink.pos);
      if (rest == 0 && block.pos == block.size) break;
    }
  }
  if (rest != 0) ThrowDecode("compressed chunk ends inside its frame", kTarnStatusInvalidFileContent);
  if (written != expected) {
    ThrowDecode(fmt::format("chunk decoded to {} bytes instead of {}", written, expected),
                kTarnStatusInvalidFileContent);
  }
  return {Codec::None, written};
}

}  // namespace tarn::codec::zstd
