#include "tarn/codecs/lossless_jpeg.hpp"

#include <algorithm>
#include <limits>

#include <fmt/format.h>

namespace tarn::codecs::ljpeg {
namespace {

constexpr uint8_t kSoi = 0xD8;
constexpr uint8_t kEoi = 0xD9;
constexpr uint8_t kSof3 = 0xC3;
constexpr uint8_t kDht = 0xC4;
constexpr uint8_t kDri = 0xDD;
constexpr uint8_t kSos = 0xDA;
constexpr int kFastBits = 10;

uint16_t Load16(std::span<const uint8_t> data, size_t at) {
  return static_cast<uint16_t>((data[at] << 8) | data[at + 1]);
}

bool IsOtherFrame(uint8_t marker) {
  return marker >= 0xC0 && marker <= 0xCF && marker != kDht && marker != 0xC8 && marker != 0xCC && marker != kSof3;
}

// Code lengths and codes of a table (Annex C), checked for fitting the code space.
struct Codes {
  std::array<uint8_t, 17> size{};   // by category; 0 = no code
  std::array<uint16_t, 17> code{};
};

Codes BuildCodes(const HuffmanTable& table) {
  Codes codes;
  uint32_t code = 0;
  size_t k = 0;
  for (int length = 1; length <= 16; ++length) {
    for (int i = 0; i < table.counts[length - 1]; ++i, ++k) {
      if (code >= (1u << length)) throw FormatError("Huffman table has more codes than fit its lengths");
      const uint8_t value = table.values[k];
      if (codes.size[value] == 0) {
        codes.size[value] = static_cast<uint8_t>(length);
        codes.code[value] = static_cast<uint16_t>(code);
      }
      ++code;
    }
    code <<= 1;
  }
  return codes;
}

// Decoding tables: a fast lookup of the first kFastBits bits, then code by code (Annex F.2.2.3).
struct DecodeTable {
  std::array<uint16_t, 1 << kFastBits> fast{};  // (length << 8) | value; 0 = longer code
  std::array<int32_t, 18> maxcode{};
  std::array<int32_t, 17> valptr{};
  std::array<int32_t, 17> mincode{};
  std::vector<uint8_t> values;
};

DecodeTable BuildDecodeTable(const HuffmanTable& table) {
  BuildCodes(table);  // checks the code space
  DecodeTable decode;
  decode.values = table.values;
  int32_t code = 0;
  int32_t k = 0;
  for (int length = 1; length <= 16; ++length) {
    const int count = table.counts[length - 1];
    decode.valptr[length] = k;
    decode.mincode[length] = code;
    for (int i = 0; i < count; ++i, ++k, ++code) {
      if (length <= kFastBits) {
        const int shift = kFastBits - length;
        for (int fill = 0; fill < (1 << shift); ++fill) {
          decode.fast[static_cast<size_t>((code << shift) | fill)] =
              static_cast<uint16_t>((length << 8) | table.values[static_cast<size_t>(k)]);
        }
      }
    }
    decode.maxcode[length] = count > 0 ? code - 1 : -1;
    code <<= 1;
  }
  decode.maxcode[17] = std::numeric_limits<int32_t>::max();
  return decode;
}

class BitReader {
 public:
  BitReader(std::span<const uint8_t> data, size_t position) : data_(data), position_(position) {}

  uint32_t Peek(int count) {
    if (bits_ < count) Fill();
    return static_cast<uint32_t>(accumulator_ >> (64 - count));
  }
  void Skip(int count) {
    accumulator_ <<= count;
    bits_ -= count;
  }
  uint32_t Get(int count) {
    if (count == 0) return 0;
    const uint32_t value = Peek(count);
    Skip(count);
    return value;
  }

  int DecodeSymbol(const DecodeTable& table) {
    const uint32_t peek = Peek(16);
    const uint16_t fast = table.fast[peek >> (16 - kFastBits)];
    if (fast != 0) {
      Skip(fast >> 8);
      return fast & 0xFF;
    }
    for (int length = kFastBits + 1; length <= 16; ++length) {
      const auto code = static_cast<int32_t>(peek >> (16 - length));
      if (code <= table.maxcode[length]) {
        Skip(length);
        const size_t index = static_cast<size_t>(table.valptr[length] + code - table.mincode[length]);
        return table.values[index];
      }
    }
    throw FormatError("entropy-coded data holds a code its Huffman table does not have");
  }

  // Negative once the decoder took bits beyond the real data (zeros fed after a marker).
  int RealBitsLeft() const { return bits_ - fill_bits_; }

  // At the end of an interval: the fill bits must be all 1s or all 0s and be followed by
  // a marker. Returns the marker's offset; `pad_ones` is set from the fill bits.
  size_t FinishInterval(std::optional<bool>& pad_ones) {
    Fill();
    const int left = RealBitsLeft();
    if (left < 0) throw FormatError("entropy-coded data ends before its last sample");
    if (!marker_) throw FormatError("entropy-coded data goes on past its last sample");
    if (left > 0) {
      const uint32_t fill = Get(left);
      const bool ones = fill == (1u << left) - 1;
      if (!ones && fill != 0) throw FormatError("fill bits before a marker are neither all 1s nor all 0s");
      if (pad_ones && *pad_ones != ones) throw FormatError("fill bits before markers differ between intervals");
      pad_ones = ones;
    }
    return marker_position_;
  }

  void RestartAt(size_t position) {
    position_ = position;
    accumulator_ = 0;
    bits_ = 0;
    fill_bits_ = 0;
    marker_ = false;
  }

  // A damaged stream decodes zeros past its end; stop it soon.
  void CheckNotFarPastEnd() const {
    if (fill_bits_ - bits_ > 64) throw FormatError("entropy-coded data ends before its last sample");
  }

 private:
  void Fill() {
    while (bits_ <= 56) {
      uint8_t byte = 0;
      if (marker_) {
        fill_bits_ += 8;
      } else if (position_ >= data_.size()) {
        marker_ = true;
        marker_position_ = position_;
        continue;
      } else {
        byte = data_[position_];
        if (byte == 0xFF) {
          if (position_ + 1 < data_.size() && data_[position_ + 1] == 0) {
            position_ += 2;
          } else {
            marker_ = true;
            marker_position_ = position_;
            continue;
          }
        } else {
          ++position_;
        }
      }
      accumulator_ |= static_cast<uint64_t>(byte) << (56 - bits_);
      bits_ += 8;
    }
  }

  std::span<const uint8_t> data_;
  size_t position_;
  uint64_t accumulator_ = 0;
  int bits_ = 0;
  int fill_bits_ = 0;  // zero bits fed after the marker, counted in bits_
  bool marker_ = false;
  size_t marker_position_ = 0;
};

class BitWriter {
 public:
  explicit BitWriter(std::vector<uint8_t>& out) : out_(out) {}
  void Put(uint32_t value, int count) {
    accumulator_ = (accumulator_ << count) | (value & ((1u << count) - 1));
    bits_ += count;
    while (bits_ >= 8) {
      const auto byte = static_cast<uint8_t>(accumulator_ >> (bits_ - 8));
      out_.push_back(byte);
      if (byte == 0xFF) out_.push_back(0);
      bits_ -= 8;
    }
  }
  void Align(bool ones) {
    if (bits_ > 0) Put(ones ? (1u << (8 - bits_)) - 1 : 0, 8 - bits_);
  }
  void Marker(uint8_t marker) {
    out_.push_back(0xFF);
    out_.push_back(marker);
  }

 private:
  std::vector<uint8_t>& out_;
  uint64_t accumulator_ = 0;
  int bits_ = 0;
};

inline int32_t Predict(int predictor, int32_t a, int32_t b, int32_t c) {
  switch (predictor) {
    case 1: return a;
    case 2: return b;
    case 3: return c;
    case 4: return a + b - c;
    case 5: return a + ((b - c) >> 1);
    case 6: return b + ((a - c) >> 1);
    default: return (a + b) >> 1;
  }
}

// Lines per restart interval; 0 = the whole scan is one interval.
uint32_t LinesPerInterval(const Header& header) {
  if (header.restart_interval == 0) return 0;
  if (header.restart_interval % header.width != 0) {
    throw FormatError(fmt::format("restart interval {} is not a whole number of lines of {} samples",
                                  header.restart_interval, header.width));
  }
  return header.restart_interval / header.width;
}

// Walks the samples in coding order with their predictions: visit(index, prediction)
// returns the sample's value in the point-transformed domain.
template <class Visit, class LineStart>
void WalkPredictions(const Header& header, Visit&& visit, LineStart&& line_start) {
  const size_t components = header.components.size();
  const size_t line = size_t{header.width} * components;
  std::vector<int32_t> previous(line, 0);
  std::vector<int32_t> current(line, 0);
  const uint32_t interval_lines = LinesPerInterval(header);
  const int32_t initial = 1 << (header.precision - header.point_transform - 1);
  const int predictor = header.predictor;
  size_t index = 0;
  for (uint32_t y = 0; y < header.height; ++y) {
    const bool first_line = y == 0 || (interval_lines != 0 && y % interval_lines == 0);
    line_start(y, first_line);
    for (size_t c = 0; c < components; ++c) {
      const int32_t prediction = first_line ? initial : previous[c];
      current[c] = visit(index++, prediction);
    }
    for (size_t x = components; x < line; x += components) {
      for (size_t c = 0; c < components; ++c) {
        const size_t i = x + c;
        const int32_t prediction =
            first_line ? current[i - components]
                       : Predict(predictor, current[i - components], previous[i], previous[i - components]);
        current[i] = visit(index++, prediction);
      }
    }
    std::swap(previous, current);
  }
}

size_t SampleCount(const Header& header) {
  return size_t{header.width} * header.height * header.components.size();
}

int Category(uint32_t difference) {
  if (difference == 0x8000) return 16;
  const int32_t signed_difference = difference < 0x8000 ? static_cast<int32_t>(difference)
                                                        : static_cast<int32_t>(difference) - 0x10000;
  const auto magnitude = static_cast<uint32_t>(signed_difference < 0 ? -signed_difference : signed_difference);
  return magnitude == 0 ? 0 : 32 - __builtin_clz(magnitude);
}

}  // namespace

namespace {

// The frame type decides what the stream is: looked for first, so that a DCT stream is
// named as such rather than by the first of its tables that lossless JPEG cannot have.
void RefuseOtherFrames(std::span<const uint8_t> stream) {
  for (size_t position = 2; position + 4 <= stream.size() && stream[position] == 0xFF;) {
    const uint8_t marker = stream[position + 1];
    if (IsOtherFrame(marker)) {
      throw FormatError(fmt::format("frame type SOF{} (DCT or arithmetic coding) is not lossless JPEG", marker - 0xC0));
    }
    if (marker == kSos || marker == kSof3) return;
    position += 2 + Load16(stream, position + 2);
  }
}

}  // namespace

Header ParseHeader(std::span<const uint8_t> stream) {
  if (stream.size() < 4 || stream[0] != 0xFF || stream[1] != kSoi) throw FormatError("stream does not start with SOI");
  RefuseOtherFrames(stream);
  Header header;
  bool have_frame = false;
  size_t position = 2;
  for (;;) {
    if (position + 4 > stream.size()) throw FormatError("stream ends inside its header");
    if (stream[position] != 0xFF) throw FormatError("header segment does not start with a marker");
    const uint8_t marker = stream[position + 1];
    const size_t length = Load16(stream, position + 2);
    if (length < 2 || position + 2 + length > stream.size()) throw FormatError("header segment runs past the stream");
    const std::span<const uint8_t> segment = stream.subspan(position + 4, length - 2);
    position += 2 + length;
    if (IsOtherFrame(marker)) {
      throw FormatError(fmt::format("frame type SOF{} (DCT or arithmetic coding) is not lossless JPEG", marker - 0xC0));
    }
    switch (marker) {
      case kDht: {
        size_t at = 0;
        while (at < segment.size()) {
          if (at + 17 > segment.size()) throw FormatError("DHT segment is cut short");
          const uint8_t kind = segment[at] >> 4;
          const uint8_t id = segment[at] & 0x0F;
          if (kind != 0 || id > 3) throw FormatError("DHT defines a table lossless JPEG does not use");
          HuffmanTable table;
          size_t total = 0;
          for (int i = 0; i < 16; ++i) total += table.counts[static_cast<size_t>(i)] = segment[at + 1 + static_cast<size_t>(i)];
          at += 17;
          if (at + total > segment.size() || total > 17) throw FormatError("DHT table values do not fit");
          table.values.assign(segment.begin() + static_cast<std::ptrdiff_t>(at),
                              segment.begin() + static_cast<std::ptrdiff_t>(at + total));
          for (uint8_t value : table.values) {
            if (value > 16) throw FormatError("DHT table codes a difference category above 16");
          }
          BuildCodes(table);
          at += total;
          header.tables[id] = std::move(table);
        }
        break;
      }
      case kSof3: {
        if (segment.size() < 6) throw FormatError("SOF3 segment is cut short");
        header.precision = segment[0];
        header.height = Load16(segment, 1);
        header.width = Load16(segment, 3);
        const size_t count = segment[5];
        if (header.precision < 2 || header.precision > 16) throw FormatError("sample precision outside 2..16");
        if (header.height == 0) throw FormatError("frames whose height follows in DNL are not taken");
        if (header.width == 0 || count < 1 || count > 4 || segment.size() < 6 + 3 * count) {
          throw FormatError("SOF3 frame has no samples or more than 4 components");
        }
        header.components.clear();
        for (size_t c = 0; c < count; ++c) {
          const uint8_t sampling = segment[7 + 3 * c];
          if (count > 1 && sampling != 0x11) throw FormatError("interleaved components with subsampling are not taken");
          header.components.push_back({segment[6 + 3 * c], 0});
        }
        have_frame = true;
        break;
      }
      case kDri:
        if (segment.size() < 2) throw FormatError("DRI segment is cut short");
        header.restart_interval = Load16(segment, 0);
        break;
      case kSos: {
        if (!have_frame) throw FormatError("SOS comes before the frame header");
        if (segment.empty()) throw FormatError("SOS segment is cut short");
        const size_t count = segment[0];
        if (count != header.components.size() || segment.size() < 1 + 2 * count + 3) {
          throw FormatError("scan does not hold every component of the frame (several scans are not taken)");
        }
        std::vector<Component> ordered;
        for (size_t c = 0; c < count; ++c) {
          const uint8_t id = segment[1 + 2 * c];
          const uint8_t table = segment[2 + 2 * c] >> 4;
          if (table > 3 || !header.tables[table]) throw FormatError("scan names a Huffman table that is not defined");
          const bool known = std::any_of(header.components.begin(), header.components.end(),
                                         [&](const Component& component) { return component.id == id; });
          const bool repeated = std::any_of(ordered.begin(), ordered.end(),
                                            [&](const Component& component) { return component.id == id; });
          if (!known || repeated) throw FormatError("scan names a component the frame does not have");
          ordered.push_back({id, table});
        }
        header.components = std::move(ordered);
        header.predictor = segment[1 + 2 * count];
        const uint8_t end = segment[2 + 2 * count];
        header.point_transform = segment[3 + 2 * count] & 0x0F;
        if (header.predictor < 1 || header.predictor > 7 || end != 0 || (segment[3 + 2 * count] >> 4) != 0) {
          throw FormatError(fmt::format("scan predictor {} is not one of the lossless predictors 1-7", header.predictor));
        }
        if (header.point_transform >= header.precision) throw FormatError("point transform removes every bit");
        LinesPerInterval(header);
        header.size = position;
        return header;
      }
      default:
        if (marker == kSoi || marker == kEoi || (marker >= 0xD0 && marker <= 0xD7)) {
          throw FormatError("unexpected marker inside the header");
        }
        break;  // APPn, COM and the like are kept as bytes
    }
  }
}

std::vector<uint8_t> WriteHeader(const Header& header) {
  std::vector<uint8_t> out{0xFF, kSoi};
  auto put16 = [&](size_t value) {
    out.push_back(static_cast<uint8_t>(value >> 8));
    out.push_back(static_cast<uint8_t>(value));
  };
  for (uint8_t id = 0; id < 4; ++id) {
    if (!header.tables[id]) continue;
    const HuffmanTable& table = *header.tables[id];
    out.insert(out.end(), {0xFF, kDht});
    put16(2 + 17 + table.values.size());
    out.push_back(id);
    out.insert(out.end(), table.counts.begin(), table.counts.end());
    out.insert(out.end(), table.values.begin(), table.values.end());
  }
  out.insert(out.end(), {0xFF, kSof3});
  put16(8 + 3 * header.components.size());
  out.push_back(header.precision);
  put16(header.height);
  put16(header.width);
  out.push_back(static_cast<uint8_t>(header.components.size()));
  for (const Component& component : header.components) out.insert(out.end(), {component.id, 0x11, 0});
  if (header.restart_interval != 0) {
    out.insert(out.end(), {0xFF, kDri});
    put16(4);
    put16(header.restart_interval);
  }
  out.insert(out.end(), {0xFF, kSos});
  put16(6 + 2 * header.components.size());
  out.push_back(static_cast<uint8_t>(header.components.size()));
  for (const Component& component : header.components) {
    out.push_back(component.id);
    out.push_back(static_cast<uint8_t>(component.table << 4));
  }
  out.push_back(header.predictor);
  out.push_back(0);
  out.push_back(header.point_transform);
  return out;
}

Decoded Decode(std::span<const uint8_t> stream) {
  Decoded decoded;
  decoded.header = ParseHeader(stream);
  const Header& header = decoded.header;
  // Every sample takes at least one bit: a frame larger than that is damaged, and must
  // not make us allocate for it.
  const size_t count = SampleCount(header);
  if (count / 8 > stream.size() - header.size) throw FormatError("stream is too short for its frame");
  decoded.samples.resize(count);
  std::vector<DecodeTable> tables;
  std::vector<const DecodeTable*> by_component;
  tables.reserve(header.components.size());
  for (const Component& component : header.components) {
    tables.push_back(BuildDecodeTable(*header.tables[component.table]));
  }
  for (const DecodeTable& table : tables) by_component.push_back(&table);
  const size_t components = header.components.size();
  const uint32_t shift = header.point_transform;
  BitReader reader(stream, header.size);
  std::optional<bool> pad_ones;
  unsigned restarts = 0;
  uint16_t* samples = decoded.samples.data();
  WalkPredictions(
      header,
      [&](size_t index, int32_t prediction) {
        const int category = reader.DecodeSymbol(*by_component[index % components]);
        int32_t difference = 0;
        if (category == 16) {
          difference = 32768;
        } else if (category > 0) {
          const auto bits = static_cast<int32_t>(reader.Get(category));
          difference = bits < (1 << (category - 1)) ? bits - (1 << category) + 1 : bits;
        }
        const int32_t value = (prediction + difference) & 0xFFFF;
        samples[index] = static_cast<uint16_t>(value << shift);
        return value;
      },
      [&](uint32_t y, bool first_line) {
        reader.CheckNotFarPastEnd();
        if (y == 0 || !first_line) return;
        const size_t marker = reader.FinishInterval(pad_ones);
        if (marker + 2 > stream.size() || stream[marker + 1] != 0xD0 + (restarts % 8)) {
          throw FormatError("restart marker missing or out of sequence");
        }
        ++restarts;
        reader.RestartAt(marker + 2);
      });
  const size_t marker = reader.FinishInterval(pad_ones);
  if (marker + 2 > stream.size() || stream[marker + 1] != kEoi) throw FormatError("scan is not followed by EOI");
  decoded.end = marker + 2;
  decoded.pad_ones = pad_ones.value_or(true);
  return decoded;
}

std::vector<uint8_t> Encode(std::span<const uint8_t> header_bytes, std::span<const uint16_t> samples, bool pad_ones) {
  const Header header = ParseHeader(header_bytes);
  if (header.size != header_bytes.size()) throw FormatError("header bytes go on past SOS");
  if (samples.size() != SampleCount(header)) throw FormatError("sample count does not match the frame");
  std::vector<Codes> codes;
  for (const Component& component : header.components) codes.push_back(BuildCodes(*header.tables[component.table]));
  const size_t components = header.components.size();
  const uint32_t shift = header.point_transform;
  std::vector<uint8_t> out(header_bytes.begin(), header_bytes.end());
  out.reserve(header_bytes.size() + samples.size() + samples.size() / 2 + 64);
  BitWriter writer(out);
  unsigned restarts = 0;
  WalkPredictions(
      header,
      [&](size_t index, int32_t prediction) {
        const int32_t value = samples[index] >> shift;
        const auto difference = static_cast<uint32_t>(value - prediction) & 0xFFFF;
        const int category = Category(difference);
        const Codes& table = codes[index % components];
        if (table.size[category] == 0) {
          throw FormatError(fmt::format("Huffman table has no code for difference category {}", category));
        }
        writer.Put(table.code[category], table.size[category]);
        if (category > 0 && category < 16) {
          const int32_t signed_difference = difference < 0x8000 ? static_cast<int32_t>(difference)
                                                                : static_cast<int32_t>(difference) - 0x10000;
          const int32_t bits = signed_difference < 0 ? signed_difference - 1 : signed_difference;
          writer.Put(static_cast<uint32_t>(bits), category);
        }
        return value;
      },
      [&](uint32_t y, bool first_line) {
        if (y == 0 || !first_line) return;
        writer.Align(pad_ones);
        writer.Marker(static_cast<uint8_t>(0xD0 + (restarts++ % 8)));
      });
  writer.Align(pad_ones);
  writer.Marker(kEoi);
  return out;
}

std::array<uint64_t, 17> CategoryCounts(const Header& header, std::span<const uint16_t> samples) {
  if (samples.size() != SampleCount(header)) throw FormatError("sample count does not match the frame");
  std::array<uint64_t, 17> used{};
  const uint32_t shift = header.point_transform;
  WalkPredictions(
      header,
      [&](size_t index, int32_t prediction) {
        const int32_t value = samples[index] >> shift;
        ++used[static_cast<size_t>(Category(static_cast<uint32_t>(value - prediction) & 0xFFFF))];
        return value;
      },
      [](uint32_t, bool) {});
  return used;
}

bool CodesEveryDifference(const Header& header) {
  const int bits = header.precision - header.point_transform;
  const int widest = std::min(16, bits + (header.predictor >= 4 && header.predictor <= 6 ? 1 : 0));
  for (const Component& component : header.components) {
    const Codes codes = BuildCodes(*header.tables[component.table]);
    for (int category = 0; category <= widest; ++category) {
      if (codes.size[static_cast<size_t>(category)] == 0) return false;
    }
  }
  return true;
}

HuffmanTable OptimalTable(const std::array<uint64_t, 17>& frequencies) {
  // Annex K.2: symbol 17 is the reserved one that keeps the all-ones code unused.
  constexpr int kSymbols = 18;
  std::array<uint64_t, kSymbols> freq{};
  std::copy(frequencies.begin(), frequencies.end(), freq.begin());
  freq[17] = 1;
  std::array<int, kSymbols> codesize{};
  std::array<int, kSymbols> others;
  others.fill(-1);
  for (;;) {
    int v1 = -1;
    int v2 = -1;
    for (int i = 0; i < kSymbols; ++i) {
      if (freq[static_cast<size_t>(i)] == 0) continue;
      if (v1 < 0 || freq[static_cast<size_t>(i)] <= freq[static_cast<size_t>(v1)]) v1 = i;
    }
    for (int i = 0; i < kSymbols; ++i) {
      if (freq[static_cast<size_t>(i)] == 0 || i == v1) continue;
      if (v2 < 0 || freq[static_cast<size_t>(i)] <= freq[static_cast<size_t>(v2)]) v2 = i;
    }
    if (v2 < 0) break;
    freq[static_cast<size_t>(v1)] += freq[static_cast<size_t>(v2)];
    freq[static_cast<size_t>(v2)] = 0;
    for (;; v1 = others[static_cast<size_t>(v1)]) {
      ++codesize[static_cast<size_t>(v1)];
      if (others[static_cast<size_t>(v1)] < 0) break;
    }
    others[static_cast<size_t>(v1)] = v2;
    for (;; v2 = others[static_cast<size_t>(v2)]) {
      ++codesize[static_cast<size_t>(v2)];
      if (others[static_cast<size_t>(v2)] < 0) break;
    }
  }
  std::array<int, 33> bits{};
  for (int i = 0; i < kSymbols; ++i) {
    if (codesize[static_cast<size_t>(i)] > 0) ++bits[static_cast<size_t>(codesize[static_cast<size_t>(i)])];
  }
  for (int i = 32; i > 16; --i) {
    while (bits[static_cast<size_t>(i)] > 0) {
      int j = i - 2;
      while (bits[static_cast<size_t>(j)] == 0) --j;
      bits[static_cast<size_t>(i)] -= 2;
      ++bits[static_cast<size_t>(i - 1)];
      bits[static_cast<size_t>(j + 1)] += 2;
      --bits[static_cast<size_t>(j)];
    }
  }
  int longest = 16;
  while (bits[static_cast<size_t>(longest)] == 0) --longest;
  --bits[static_cast<size_t>(longest)];  // the reserved symbol's code
  HuffmanTable table;
  for (int i = 1; i <= 16; ++i) table.counts[static_cast<size_t>(i - 1)] = static_cast<uint8_t>(bits[static_cast<size_t>(i)]);
  for (int size = 1; size <= 32; ++size) {
    for (int i = 0; i < 17; ++i) {
      if (codesize[static_cast<size_t>(i)] == size) table.values.push_back(static_cast<uint8_t>(i));
    }
  }
  // Lengths beyond 16 were folded above; the values must follow the new counts in order.
  size_t total = 0;
  for (uint8_t count : table.counts) total += count;
  table.values.resize(total);
  return table;
}

}  // namespace tarn::codecs::ljpeg
