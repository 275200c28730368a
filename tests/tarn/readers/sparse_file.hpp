// A synthetic file made of byte pieces at given offsets, zero elsewhere, so
// tests can place structures beyond 4 GiB without writing gigabytes.
#pragma once

#include <algorithm>
#include <cstdint>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <map>
#include <string_view>
#include <vector>

#include "tarn/file/metadata/readers/byte_source.hpp"

namespace tarn::test {

class SparseFile {
 public:
  uint64_t size = 0;

  void Put(uint64_t offset, const std::vector<uint8_t>& bytes) {
    pieces_[offset] = bytes;
    size = std::max(size, offset + bytes.size());
  }
  uint64_t Append(const std::vector<uint8_t>& bytes) {
    const uint64_t offset = size;
    Put(offset, bytes);
    return offset;
  }
  void PadTo(uint64_t alignment) { size = (size + alignment - 1) / alignment * alignment; }

  std::vector<uint8_t> Flatten() const {
    std::vector<uint8_t> bytes(size);
    for (const auto& [offset, piece] : pieces_) std::copy(piece.begin(), piece.end(), bytes.begin() + offset);
    return bytes;
  }
  void WriteTo(const std::filesystem::path& path) const {
    const auto bytes = Flatten();
    std::ofstream(path, std::ios::binary).write(reinterpret_cast<const char*>(bytes.data()), bytes.size());
  }
  const std::map<uint64_t, std::vector<uint8_t>>& pieces() const { return pieces_; }

 private:
  std::map<uint64_t, std::vector<uint8_t>> pieces_;
};

class SparseByteSource : public metadata::ByteSource {
 public:
  explicit SparseByteSource(const SparseFile& file) : file_(file) {}
  uint64_t Size() const override { return file_.size; }

 private:
  void ReadAt_(uint64_t offset, std::span<uint8_t> out) override {
    std::fill(out.begin(), out.end(), 0);
    for (const auto& [start, piece] : file_.pieces()) {
      const uint64_t end = start + piece.size();
      const uint64_t from = std::max(start, offset), to = std::min(end, offset + out.size());
      if (from < to) std::memcpy(out.data() + (from - offset), piece.data() + (from - start), to - from);
    }
  }
  const SparseFile& file_;
};

// Counts what a parser reads, to show it reads headers and not pixels.
class CountingByteSource : public metadata::ByteSource {
 public:
  explicit CountingByteSource(metadata::ByteSource& inner) : inner_(inner) {}
  uint64_t Size() const override { return inner_.Size(); }
  uint64_t bytes_read = 0;

 private:
  void ReadAt_(uint64_t offset, std::span<uint8_t> out) override {
    bytes_read += out.size();
    inner_.ReadAt(offset, out);
  }
  metadata::ByteSource& inner_;
};

// Little-endian byte building.
class Bytes {
 public:
  template <typename T>
  Bytes& Le(T value) {
    for (size_t i = 0; i < sizeof(T); ++i) data.push_back(static_cast<uint8_t>(uint64_t(value) >> (8 * i)));
    return *this;
  }
  Bytes& Text(std::string_view text) {
    data.insert(data.end(), text.begin(), text.end());
    return *this;
  }
  Bytes& Zeros(uint64_t n) {
    data.insert(data.end(), n, 0);
    return *this;
  }
  Bytes& Raw(const std::vector<uint8_t>& bytes) {
    data.insert(data.end(), bytes.begin(), bytes.end());
    return *this;
  }
  // Fills up to `n` bytes in total with zeros.
  Bytes& ZeroPadTo(uint64_t n) {
    if (data.size() < n) data.resize(n, 0);
    return *this;
  }
  std::vector<uint8_t> data;
};

// Distinct, position-dependent filler so misplaced ranges show in comparisons.
inline std::vector<uint8_t> Pattern(uint64_t n, uint8_t seed) {
  std::vector<uint8_t> bytes(n);
  for (uint64_t i = 0; i < n; ++i) bytes[i] = static_cast<uint8_t>(seed + i * 7 + (i >> 8));
  return bytes;
}

}  // namespace tarn::test
