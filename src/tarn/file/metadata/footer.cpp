#include "tarn/file/metadata/footer.hpp"

#include <array>
#include <limits>
#include <stdexcept>

#include "tarn/error.hpp"
#include "tarn/util/stream.hpp"

namespace tarn::metadata {
namespace {

template <class T>
T LoadLittleEndian(const uint8_t* bytes) {
  T value = 0;
  for (size_t i = 0; i < sizeof(T); ++i) value |= static_cast<T>(bytes[i]) << (8 * i);
  return value;
}

template <class T>
void StoreLittleEndian(T value, uint8_t* bytes) {
  for (size_t i = 0; i < sizeof(T); ++i) bytes[i] = static_cast<uint8_t>(value >> (8 * i));
}

}  // namespace

Footer Footer::ReadFrom(std::istream& in) {
  std::array<uint8_t, kSize> bytes{};
  if (ReadStreamToSpan(in, bytes) != kSize) throw bad_metadata("file ends inside its footer");
  return Footer{LoadLittleEndian<uint32_t>(bytes.data()), LoadLittleEndian<uint64_t>(bytes.data() + 4)};
}

void Footer::WriteTo(std::ostream& out) const {
  std::array<uint8_t, kSize> bytes{};
  StoreLittleEndian(version, bytes.data());
  StoreLittleEndian(length, bytes.data() + 4);
  WriteSpanToStream(bytes, out);
}

int64_t Footer::MetadataStartOffsetFromEnd() const {
  if (length > static_cast<uint64_t>(std::numeric_limits<int64_t>::max()) - kSize) {
    throw bad_metadata("footer metadata length is out of range");
  }
  return -static_cast<int64_t>(kSize) - static_cast<int64_t>(length);
}

}  // namespace tarn::metadata
