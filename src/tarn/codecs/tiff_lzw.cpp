#include "tarn/codecs/tiff_lzw.hpp"

#include <array>

namespace tarn::codecs::lzw {
namespace {

constexpr uint32_t kClear = 256;
constexpr uint32_t kEoi = 257;
constexpr uint32_t kFirst = 258;
constexpr uint32_t kTableSize = 4096;
constexpr int kMinBits = 9;
constexpr int kMaxBits = 12;

class BitReader {
 public:
  explicit BitReader(std::span<const uint8_t> data) : data_(data) {}
  // False when fewer than `count` bits are left.
  bool Get(int count, uint32_t& value) {
    while (bits_ < count) {
      if (position_ >= data_.size()) return false;
      accumulator_ = (accumulator_ << 8) | data_[position_++];
      bits_ += 8;
    }
    bits_ -= count;
    value = static_cast<uint32_t>(accumulator_ >> bits_) & ((1u << count) - 1);
    return true;
  }
  size_t BytesTaken() const { return position_; }

 private:
  std::span<const uint8_t> data_;
  size_t position_ = 0;
  uint64_t accumulator_ = 0;
  int bits_ = 0;
};

class BitWriter {
 public:
  explicit BitWriter(std::vector<uint8_t>& out) : out_(out) {}
  void Put(uint32_t code, int count) {
    accumulator_ = (accumulator_ << count) | code;
    bits_ += count;
    while (bits_ >= 8) {
      bits_ -= 8;
      out_.push_back(static_cast<uint8_t>(accumulator_ >> bits_));
    }
  }
  void Finish() {
    if (bits_ > 0) out_.push_back(static_cast<uint8_t>(accumulator_ << (8 - bits_)));
    bits_ = 0;
  }

 private:
  std::vector<uint8_t>& out_;
  uint64_t accumulator_ = 0;
  int bits_ = 0;
};

// String table of the decoder: each entry is its prefix code and last byte.
struct Entry {
  uint16_t prefix;
  uint8_t last;
  uint8_t first;
  uint32_t length;
};

// Encoder table: (prefix, byte) -> code, open addressing, emptied by a new generation.
class CodeTable {
 public:
  CodeTable() : slots_(kSlots) {}
  void Clear() { ++generation_; }
  int Find(uint32_t prefix, uint8_t byte) const {
    const uint32_t key = (prefix << 8) | byte;
    for (uint32_t slot = Hash(key);; slot = (slot + 1) & (kSlots - 1)) {
      const Slot& entry = slots_[slot];
      if (entry.generation != generation_) return -1;
      if (entry.key == key) return entry.code;
    }
  }
  void Insert(uint32_t prefix, uint8_t byte, uint16_t code) {
    const uint32_t key = (prefix << 8) | byte;
    uint32_t slot = Hash(key);
    while (slots_[slot].generation == generation_) slot = (slot + 1) & (kSlots - 1);
    slots_[slot] = {key, code, generation_};
  }

 private:
  static constexpr uint32_t kSlots = 1 << 14;  // at most 4096 - 258 entries live
  struct Slot {
    uint32_t key = 0;
    uint16_t code = 0;
    uint32_t generation = 0;
  };
  static uint32_t Hash(uint32_t key) { return (key * 2654435761u) >> (32 - 14); }
  std::vector<Slot> slots_;
  uint32_t generation_ = 1;
};

}  // namespace

Decoded Decode(std::span<const uint8_t> stream, size_t limit) {
  Decoded decoded;
  std::vector<Entry> table(kTableSize);
  for (uint32_t i = 0; i < 256; ++i) table[i] = {0, static_cast<uint8_t>(i), static_cast<uint8_t>(i), 1};
  BitReader reader(stream);
  std::vector<uint8_t>& out = decoded.bytes;
  int bits = kMinBits;
  uint32_t next = kFirst;
  int64_t previous = -1;
  // Writes the string of `code` at the end of `out`.
  auto emit = [&](uint32_t code) {
    const uint32_t length = table[code].length;
    if (out.size() + length > limit) throw FormatError("LZW data decodes to more bytes than the strip holds");
    const size_t start = out.size();
    out.resize(start + length);
    for (size_t at = start + length; at-- > start;) {
      out[at] = table[code].last;
      code = table[code].prefix;
    }
  };
  uint32_t code = 0;
  while (reader.Get(bits, code)) {
    if (code == kClear) {
      decoded.clears.push_back(out.size());
      bits = kMinBits;
      next = kFirst;
      previous = -1;
      continue;
    }
    if (code == kEoi) {
      decoded.eoi = true;
      break;
    }
    if (previous < 0) {
      if (code >= 256) throw FormatError("LZW code after Clear is not a single byte");
      emit(code);
      previous = code;
      continue;
    }
    if (code > next || (code == next && next >= kTableSize)) throw FormatError("LZW code is not in the table yet");
    const auto prior = static_cast<uint32_t>(previous);
    const uint8_t first = code < next ? table[code].first : table[prior].first;
    if (next < kTableSize) {
      table[next] = {static_cast<uint16_t>(prior), first, table[prior].first, table[prior].length + 1};
      ++next;
      if (next > (1u << bits) - 2 && bits < kMaxBits) ++bits;
    }
    emit(code);
    previous = code;
  }
  decoded.end = reader.BytesTaken();
  return decoded;
}

std::vector<uint8_t> Encode(std::span<const uint8_t> bytes, std::span<const uint64_t> clears) {
  std::vector<uint8_t> out;
  out.reserve(bytes.size() / 2 + 16);
  BitWriter writer(out);
  CodeTable table;
  int bits = kMinBits;
  uint32_t next = kFirst;
  size_t clear_index = 0;
  auto clear_at = [&](uint64_t position) {
    while (clear_index < clears.size() && clears[clear_index] == position) {
      writer.Put(kClear, bits);
      table.Clear();
      bits = kMinBits;
      next = kFirst;
      ++clear_index;
    }
  };
  // After each code the table grows by one (the decoder's entry lags, the early change
  // makes up for it), and the code gets wider when the next entry would not fit.
  auto grow = [&] {
    if (next < kTableSize) ++next;
    if (next > (1u << bits) - 1 && bits < kMaxBits) ++bits;
  };
  clear_at(0);
  if (!bytes.empty()) {
    uint32_t current = bytes[0];
    for (size_t position = 1; position < bytes.size(); ++position) {
      const uint8_t byte = bytes[position];
      // A Clear ends the string wherever it came, also where a longer one would match.
      if (clear_index < clears.size() && clears[clear_index] == position) {
        writer.Put(current, bits);
        grow();
        clear_at(position);
        current = byte;
        continue;
      }
      const int found = table.Find(current, byte);
      if (found >= 0) {
        current = static_cast<uint32_t>(found);
        continue;
      }
      writer.Put(current, bits);
      if (next < kTableSize) table.Insert(current, byte, static_cast<uint16_t>(next));
      grow();
      clear_at(position);
      current = byte;
    }
    writer.Put(current, bits);
    grow();
  }
  clear_at(bytes.size());
  writer.Put(kEoi, bits);
  writer.Finish();
  return out;
}

}  // namespace tarn::codecs::lzw
