// TIFFs whose strips already hold Nivra output: instead of encoding again, the directories
// are rewritten to describe the decoded file and the encoded strips are copied unchanged.
#include <ios>
#include <streambuf>
#include <vector>

#include "tarn/file/metadata/chunk/image.hpp"
#include "tarn/file/metadata/chunk/unspecified_data.hpp"
#include "tarn/file/metadata/metadata.hpp"
#include "tarn/file/nivra_tiff_util.hpp"
#include "tarn/error.hpp"
#include "tarn/logger.hpp"
#include "tarn/util/checksum_output.hpp"
#include "tarn/util/stream.hpp"

namespace tarn {
namespace {

constexpr uint64_t kCompressionNivra = 48124;
constexpr uint16_t kTypeShort = 3;
constexpr uint16_t kTypeLong = 4;

// Counts what is written and forgets it: lets the rewrite run once as a check.
class DiscardingBuffer : public std::streambuf {
 protected:
  int_type overflow(int_type c) override {
    ++position_;
    return traits_type::not_eof(c);
  }
  std::streamsize xsputn(const char*, std::streamsize n) override {
    position_ += n;
    return n;
  }
  pos_type seekoff(off_type offset, std::ios_base::seekdir direction, std::ios_base::openmode) override {
    if (direction == std::ios_base::beg) {
      position_ = offset;
    } else if (direction == std::ios_base::cur) {
      position_ += offset;
    } else {
      return pos_type(off_type(-1));
    }
    return pos_type(position_);
  }
  pos_type seekpos(pos_type position, std::ios_base::openmode) override {
    position_ = position;
    return position;
  }

 private:
  off_type position_ = 0;
};

bool FitsEntry(uint64_t value, uint16_t type, bool bigtiff) {
  const unsigned width = type == kTypeShort ? 2 : type == kTypeLong ? 4 : (bigtiff ? 8 : 4);
  return width >= 8 || (value >> (8 * width)) == 0;
}

// The rewrite only serves one chain of single-strip, one-sample 16-bit directories that
// lie before the strips and name exactly the encoded chunks in order.
bool DirectoriesMatchChunks(const std::vector<metadata::TiffDirectoryLayout>& layouts, const Chunks& chunks,
                            bool bigtiff) {
  if (layouts.size() + 1 != chunks.size()) return false;
  const uint64_t data_start = chunks.front()->length;
  uint64_t source_offset = data_start;
  uint64_t decoded_offset = data_start;
  for (size_t i = 0; i < layouts.size(); ++i) {
    const auto& layout = layouts[i];
    const auto* image = dynamic_cast<const chunk::Image*>(chunks[i + 1].get());
    if (image == nullptr) return false;
    const uint64_t raw_size = layout.dimensions.RawSize();
    const bool matches = layout.compression == kCompressionNivra && layout.samples_per_pixel == 1 &&
                         layout.strip_offsets_count == 1 && layout.strip_byte_counts_count == 1 &&
                         layout.bits_per_sample_count == 1 && layout.ifd_end <= data_start &&
                         layout.strip_offset == source_offset && layout.strip_byte_count == image->length &&
                         layout.dimensions.width == image->width && layout.dimensions.height == image->height &&
                         layout.dimensions.bytes_per_sample == image->bytes_per_pixel &&
                         image->bytes_per_pixel == 2 && raw_size == image->DecodedLength() &&
                         FitsEntry(decoded_offset, layout.strip_offsets_type, bigtiff) &&
                         FitsEntry(raw_size, layout.strip_byte_counts_type, bigtiff);
    if (!matches) return false;
    source_offset += image->length;
    decoded_offset += raw_size;
  }
  return true;
}

void SeekTo(std::istream& in, uint64_t position) {
  in.clear();
  in.seekg(static_cast<std::streamoff>(position));
}

// Restoring decodes every strip; a strip that does not decode now never would, and the
// compressed file could not be restored. Such files are stored as opaque data instead.
bool EveryStripDecodes(std::istream& in, const Chunks& chunks) {
  DiscardingBuffer discard;
  std::ostream sink(&discard);
  uint64_t offset = 0;
  for (const auto& chunk : chunks) {
    if (chunk->codec == Codec::Nivra) {
      SeekTo(in, offset);
      try {
        chunk->DecodeStream(in, sink);
      } catch (const std::exception& error) {
        Logger()->warn("Nivra-encoded strip at offset {} does not decode: {}", offset, error.what());
        return false;
      }
    }
    offset += chunk->length;
  }
  return true;
}

// A dry run of the rewrite: true when the directories are what it serves. Nothing is written.
bool RewriteApplies(const Metadata& metadata, std::istream& in, metadata::TiffHeaderInfo& info) {
  if (metadata.SerializedLength() != 0) return false;
  try {
    info = metadata::ReadTiffHeaderInfo(in);
    DiscardingBuffer discard;
    std::ostream check(&discard);
    check.seekp(static_cast<std::streamoff>(info.first_ifd_offset));
    const auto layouts = metadata::UpdateTiffMetadataForCompressedOutput(in, check, info.first_ifd_offset,
                                                                         info.bigtiff, info.endianness);
    if (!DirectoriesMatchChunks(layouts, metadata.chunks, info.bigtiff)) return false;
  } catch (const std::exception& error) {
    // A directory chain libtiff tolerates may still defeat the rewrite (a dangling link,
    // a field too small for the decoded size): the file is then kept as it is.
    Logger()->warn("TIFF directories cannot be rewritten for the decoded strips: {}", error.what());
    return false;
  }
  return EveryStripDecodes(in, metadata.chunks);
}

}  // namespace

bool Metadata::IsNivraTiff() const {
  if (chunks.size() < 2 || chunks.front()->codec != Codec::None) return false;
  for (size_t i = 1; i < chunks.size(); ++i) {
    const auto* image = dynamic_cast<const chunk::Image*>(chunks[i].get());
    if (image == nullptr || image->codec != Codec::Nivra) return false;
  }
  return true;
}

Metadata Metadata::HandleNivraTiff(std::istream& in, std::ostream& out) const {
  metadata::TiffHeaderInfo info;
  if (!RewriteApplies(*this, in, info)) {
    // Restoring would decode the strips under directories that still say they are encoded;
    // keep them as opaque data instead so the file comes back byte for byte.
    Logger()->warn("Nivra-encoded strips cannot be passed through with rewritten TIFF directories; "
                   "they are kept as opaque data.");
    Chunks opaque;
    opaque.reserve(chunks.size());
    for (const auto& chunk : chunks) {
      if (chunk->codec == Codec::Nivra) {
        opaque.push_back(std::make_unique<chunk::UnspecifiedData>(chunk->length));
      } else {
        opaque.push_back(chunk->Clone());
      }
    }
    SeekTo(in, 0);
    return Metadata(length, std::move(opaque)).EncodeStream(in, out);
  }

  // The rewritten headers are stored as they are: each such chunk gets the sum of its output.
  std::vector<uint64_t> lengths;
  for (const auto& chunk : chunks) lengths.push_back(chunk->length);
  util::ChecksumOutput summed(out, lengths);
  metadata::CopyTiffHeader(in, summed, info.first_ifd_offset);
  metadata::UpdateTiffMetadataForCompressedOutput(in, summed, info.first_ifd_offset, info.bigtiff, info.endianness);
  const auto position = in.tellg();
  if (position < 0 || static_cast<uint64_t>(position) > length) {
    throw std::runtime_error("TIFF directories end beyond the described data");
  }
  util::StreamCopyN(in, length - static_cast<uint64_t>(position), summed);
  summed.PassStateOn(out);
  Metadata written(*this);
  for (size_t i = 0; i < written.chunks.size(); ++i) {
    if (written.chunks[i]->codec != Codec::None) continue;
    written.chunks[i]->checksum = summed.Sum(i);
    if (!written.chunks[i]->checksum) throw implementation_error("rewritten TIFF headers were not written in one pass");
  }
  return written;
}

}  // namespace tarn
