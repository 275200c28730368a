// The upload's proof: an object whose written bytes do not restore to the source is never
// reported as produced.
#include "codec_bridge.hpp"

#include <fcntl.h>

#include <gtest/gtest.h>

#include "error.hpp"
#include "file_descriptor.hpp"
#include "scratch_directory.hpp"

namespace caddistransfer {
namespace {

namespace fs = std::filesystem;
using testing::ScratchDirectory;

// A file that flips one bit of what is written at `offset`, as a failing disk might.
class FlippingFile final : public RandomAccessFile {
 public:
  FlippingFile(const fs::path& path, uint64_t offset)
      : file_(path, O_RDWR | O_CREAT | O_TRUNC, 0600), offset_(offset) {}
  std::string Name() const override { return file_.Name(); }
  uint64_t Size() override { return file_.Size(); }
  std::size_t ReadAt(uint64_t offset, void* data, std::size_t size) override { return file_.ReadAt(offset, data, size); }
  void Truncate(uint64_t size) override { file_.Truncate(size); }
  void WriteAt(uint64_t offset, const void* data, std::size_t size) override {
    std::string bytes(static_cast<const char*>(data), size);
    if (offset_ >= offset && offset_ < offset + size) bytes[offset_ - offset] ^= 0x10;
    file_.WriteAt(offset, bytes.data(), size);
  }

 private:
  FileDescriptor file_;
  uint64_t offset_;
};

TEST(ProduceObject, BytesThatDoNotRestoreToTheSourceAreNeverAccepted) {
  const fs::path fixtures = TARN_FIXTURES_DIR;
  if (!fs::is_directory(fixtures)) GTEST_SKIP() << "no sample files";
  ScratchDirectory scratch;
  for (const char* name : {"tif-czitools-CH1_16bit.tif", "nd2-pims-cluster.nd2", "czi-czitools-100x100.czi"}) {
    FileDescriptor source(fixtures / name, O_RDONLY);
    FileDescriptor clean(scratch / "clean.nivra", O_RDWR | O_CREAT | O_TRUNC, 0600);
    const ProducedObject produced = ProduceObject(fixtures / name, source, clean, std::nullopt, nullptr, false);
    EXPECT_EQ(produced.restored.checksum, produced.source.checksum) << name;
    const uint64_t size = produced.object.size;
    // The first byte, pixel data, and the metadata block and footer at the end.
    for (const uint64_t offset : {uint64_t{0}, size / 3, size / 2, size - 40, size - 3}) {
      FlippingFile damaged(scratch / "damaged.nivra", offset);
      EXPECT_THROW(ProduceObject(fixtures / name, source, damaged, std::nullopt, nullptr, false), TransferError)
          << name << " at " << offset << " of " << size;
    }
  }
}

}  // namespace
}  // namespace caddistransfer
