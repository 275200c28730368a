#include "codec_bridge.hpp"

#include <istream>
#include <ostream>

#include "byte_streams.hpp"
#include "error.hpp"
#include "nivra/nivra.hpp"
#include "tarn/file/file.hpp"
#include "tarn/logger.hpp"
#include "tarn/tarn.h"

namespace caddistransfer {
namespace fs = std::filesystem;

namespace {

constexpr std::size_t kBlockSize = 1 << 20;

template <class Stream>
void ThrowOnFailure(Stream& stream) {
  // As libtarn's own file streams: a short read or a failed write must not pass.
  stream.exceptions(std::ios::badbit | std::ios::failbit);
}

std::string MessageOf(const std::exception_ptr& failure) {
  try {
    std::rethrow_exception(failure);
  } catch (const std::exception& error) {
    return error.what();
  } catch (...) {
    return "failure without a message";
  }
}

uint64_t Count(int count) { return count > 0 ? static_cast<uint64_t>(count) : 0; }

// The object of a source whose pixels are already encoded: its own bytes, checked by
// reading them back.
ProducedObject StoreVerbatim(RandomAccessReader& source, RandomAccessFile& object, TokenBucket* bucket) {
  ProducedObject produced;
  produced.encoding = Encoding::kVerbatim;
  produced.source = CopyVerbatim(source, object, bucket, true);
  produced.object = SumOf(object, nullptr);
  produced.restored = produced.object;
  if (!(produced.object.size == produced.source.size && produced.object.checksum == produced.source.checksum)) {
    throw TransferError("the copy of " + source.Name() + " in " + object.Name() + " reads back different bytes");
  }
  return produced;
}

}  // namespace

Summed CopyVerbatim(RandomAccessReader& from, RandomAccessFile& to, TokenBucket* bucket, bool from_is_source) {
  Block block(kBlockSize);
  Checksum checksum;
  uint64_t offset = 0;
  for (;;) {
    std::size_t got;
    try {
      got = from.ReadAt(offset, block.data(), block.size());
    } catch (const TransferError& error) {
      if (from_is_source) throw SourceError(error.what());
      throw;
    }
    if (got == 0) break;
    checksum.Update(block.data(), got);
    if (bucket != nullptr) bucket->Acquire(got);
    to.WriteAt(offset, block.data(), got);
    offset += got;
  }
  return {offset, checksum.Finish()};
}

Summed SumOf(RandomAccessReader& reader, TokenBucket* bucket) {
  ReadStreamBuffer buffer(reader, bucket, true);
  const Digest digest = buffer.FinishChecksum();
  return {buffer.summed(), digest};
}

DecodedObject DecodeObject(RandomAccessReader& object, RandomAccessFile* out, TokenBucket* bucket) {
  ReadStreamBuffer in_buffer(object, bucket, true);
  std::istream in(&in_buffer);
  ThrowOnFailure(in);
  ChecksumSink sink(out);
  std::ostream restored(&sink);
  ThrowOnFailure(restored);
  try {
    const tarn::Metadata stored = tarn::Metadata::DeserializeFromStream(in);
    in.seekg(0);
    const tarn::Metadata decoded = stored.DecodeStream(in, restored);
    // Chunks that were copied instead of decoded must still give the promised size.
    if (decoded.length != stored.DecodedLength()) {
      throw IntegrityError(object.Name() + " restored " + std::to_string(decoded.length) +
                           " bytes but its metadata promises " + std::to_string(stored.DecodedLength()));
    }
    restored.flush();
  } catch (const IntegrityError&) {
    throw;
  } catch (const std::exception& error) {
    if (const auto failure = sink.failure()) std::rethrow_exception(failure);
    if (const auto failure = in_buffer.failure()) std::rethrow_exception(failure);
    throw IntegrityError(object.Name() + " cannot be restored: " + error.what());
  }
  DecodedObject decoded;
  decoded.restored.size = sink.size();
  decoded.restored.checksum = sink.Finish();
  decoded.object.checksum = in_buffer.FinishChecksum();
  decoded.object.size = in_buffer.summed();
  return decoded;
}

ProducedObject ProduceObject(const fs::path& source_path, RandomAccessReader& source, RandomAccessFile& object,
                             const std::optional<std::string>& calibration_id, TokenBucket* bucket, bool verbatim) {
  if (verbatim || source.Size() == 0) return StoreVerbatim(source, object, bucket);
  std::optional<tarn::File> described;
  try {
    described.emplace(tarn::File::Read(source_path));
  } catch (const std::exception& error) {
    throw SourceError("cannot read " + source_path.string() + ": " + error.what());
  }
  // Its decoded form would not be its own bytes; it is compressed already.
  if (described->metadata.IsNivraTiff()) return StoreVerbatim(source, object, bucket);
  if (calibration_id) {
    RequireCalibration(*calibration_id);
    described->SetCalibrationId(*calibration_id);
  }

  ReadStreamBuffer in_buffer(source, nullptr, true);
  std::istream in(&in_buffer);
  ThrowOnFailure(in);
  WriteStreamBuffer out_buffer(object, bucket);
  std::ostream out(&out_buffer);
  ThrowOnFailure(out);
  uint64_t end = 0;
  try {
    const tarn::Metadata& metadata = described->metadata;
    const tarn::Metadata written =
        calibration_id ? metadata.PrepareAndEncodeStream(in, out) : metadata.EncodeStream(in, out);
    written.SerializeToStream(out);
    end = static_cast<uint64_t>(out.tellp());
    out.flush();
  } catch (const std::exception& error) {
    if (const auto failure = out_buffer.failure()) std::rethrow_exception(failure);
    if (const auto failure = in_buffer.failure()) throw SourceError(MessageOf(failure));
    throw SourceError("compressing " + source_path.string() +
                      (calibration_id ? " with calibration '" + *calibration_id + "'" : std::string()) +
                      " failed: " + error.what());
  }
  // A codec that fell back rewound its output; nothing may linger past the end.
  object.Truncate(end);

  ProducedObject produced;
  const Digest source_digest = in_buffer.FinishChecksum();
  produced.source = {in_buffer.summed(), source_digest};
  const DecodedObject decoded = DecodeObject(object, nullptr, nullptr);
  produced.restored = decoded.restored;
  produced.object = decoded.object;
  const bool same_size = produced.restored.size == produced.source.size;
  if (!same_size || (!calibration_id && !(produced.restored.checksum == produced.source.checksum))) {
    throw TransferError("the compressed form of " + source_path.string() + " written to " + object.Name() +
                        " restores to different bytes (" + std::to_string(produced.restored.size) + " of " +
                        std::to_string(produced.source.size) + ", or another checksum)");
  }
  return produced;
}

void RequireCalibration(const std::string& calibration_id) {
  // Asked for a calibration that is not there: refuse rather than store the images unprepared.
  if (!Brimlake::Nivra::ParameterRegistry::get_parameters(calibration_id)) {
    throw SourceError("no calibration '" + calibration_id + "' is loaded; load its calibration file first");
  }
}

void LogWarning(const std::string& text) { tarn::Logger()->warn("{}", text); }

uint64_t LoadDefaultCalibrations() { return Count(TarnCalibrationRegistryDefaultInitialize()); }

uint64_t LoadCalibrations(const char* path) { return Count(TarnCalibrationRegistryLoadPath(path)); }

void ClearCalibrations() { TarnCalibrationRegistryClear(); }

}  // namespace caddistransfer
