// Single-bit damage to the coded chunks of compressed files, restored through the C
// interface: every flip must either fail the restore (leaving no output) or give the
// original bytes back. Shared by the test and the campaign benchmark.
#pragma once

#include <cstdint>
#include <filesystem>
#include <random>
#include <sstream>
#include <string>
#include <vector>

#include "tarn/file/metadata/chunk/reencoded_image.hpp"
#include "tarn/file/metadata/footer.hpp"
#include "tarn/file/metadata/metadata.hpp"
#include "tarn/tarn.h"
#include "test_util.hpp"

namespace tarn::test {

// A source compressed once, with where its coded chunks lie.
struct FlipTarget {
  std::filesystem::path source;
  std::string original;
  std::string compressed;
  struct Range {
    uint64_t offset;
    uint64_t length;
    Codec codec;
    bool reencoded = false;  // pixels of a re-encoded image (restored through its source coding)
  };
  std::vector<Range> coded;  // chunks stored with Nivra or Zstd
  Range description;         // the metadata block and the footer (codec Unknown)
};

inline FlipTarget CompressForFlips(const std::filesystem::path& source, const std::filesystem::path& folder) {
  FlipTarget target{source, ReadFile(source), {}, {}, {}};
  const auto compressed = folder / (source.filename().string() + ".nivra");
  if (TarnCompressFile(source.c_str(), compressed.c_str(), nullptr) != kTarnStatusOk) {
    throw std::runtime_error("cannot compress " + source.string());
  }
  target.compressed = ReadFile(compressed);
  uint64_t offset = 0;
  for (const auto& chunk : Metadata::DeserializeFromFile(compressed).chunks) {
    if (chunk->codec == Codec::Nivra || chunk->codec == Codec::Zstd) {
      target.coded.push_back({offset, chunk->length, chunk->codec,
                              dynamic_cast<const chunk::ReencodedImage*>(chunk.get()) != nullptr});
    }
    offset += chunk->length;
  }
  target.description = {offset, target.compressed.size() - offset, Codec::Unknown};
  std::filesystem::remove(compressed);
  return target;
}

// The target as the writer before descriptions carried checksums made it: the same chunks,
// the block without "block_checksum" and "checksum" (its "length" fixed up), footer 4.
inline FlipTarget WithoutChecksums(const FlipTarget& target) {
  const uint64_t data = target.description.offset;
  std::string block = target.compressed.substr(data, target.description.length - metadata::Footer::kSize);
  for (const std::string key : {"\"block_checksum\":\"", "\"checksum\":\""}) {
    for (size_t at; (at = block.find(key)) != std::string::npos;) block.erase(at, key.size() + 16 + 2);
  }
  const std::string length_key = ",\"length\":";
  const size_t digits = block.rfind(length_key) + length_key.size();
  size_t digits_end = block.find(',', digits);
  for (std::string total;;) {
    total = std::to_string(data + block.size() + metadata::Footer::kSize);
    block.replace(digits, digits_end - digits, total);
    digits_end = digits + total.size();
    if (std::to_string(data + block.size() + metadata::Footer::kSize) == total) break;
  }
  std::ostringstream footer;
  std::istringstream written(target.compressed.substr(target.compressed.size() - metadata::Footer::kSize));
  metadata::Footer{metadata::Footer::ReadFrom(written).version, block.size()}.WriteTo(footer);
  FlipTarget old = target;
  old.compressed = target.compressed.substr(0, data) + block + footer.str();
  old.description = {data, block.size() + metadata::Footer::kSize, Codec::Unknown};
  return old;
}

enum class FlipOutcome {
  kDetected,     // the restore failed with status 7 and left nothing behind
  kOtherStatus,  // the restore failed with another status and left nothing behind
  kHarmless,     // the restore succeeded with the original bytes
  kSilent,       // the restore succeeded with other bytes: what must never happen
  kLeftOutput,   // the restore failed but an output file exists
};

// Flips bit `bit` of byte `position` of the compressed file and restores it in `folder`.
inline FlipOutcome FlipAndRestore(const FlipTarget& target, uint64_t position, int bit,
                                  const std::filesystem::path& folder) {
  std::string damaged = target.compressed;
  damaged[position] = static_cast<char>(damaged[position] ^ (1 << bit));
  const auto input = folder / "damaged.nivra";
  const auto output = folder / "restored";
  WriteFile(input, damaged);
  std::filesystem::remove(output);
  const TarnStatus status = TarnDecompressFile(input.c_str(), output.c_str(), nullptr);
  if (status != kTarnStatusOk) {
    if (std::filesystem::exists(output)) return FlipOutcome::kLeftOutput;
    return status == kTarnStatusInvalidFileContent ? FlipOutcome::kDetected : FlipOutcome::kOtherStatus;
  }
  return ReadFile(output) == target.original ? FlipOutcome::kHarmless : FlipOutcome::kSilent;
}

struct FlipCounts {
  size_t detected = 0;
  size_t other_status = 0;
  size_t harmless = 0;
  size_t silent = 0;
  size_t left_output = 0;
  size_t Total() const { return detected + other_status + harmless + silent + left_output; }
  void Add(FlipOutcome outcome) {
    switch (outcome) {
      case FlipOutcome::kDetected: ++detected; break;
      case FlipOutcome::kOtherStatus: ++other_status; break;
      case FlipOutcome::kHarmless: ++harmless; break;
      case FlipOutcome::kSilent: ++silent; break;
      case FlipOutcome::kLeftOutput: ++left_output; break;
    }
  }
};

// A byte range of one target where flips land.
struct FlipSpan {
  const FlipTarget* target;
  FlipTarget::Range range;
};

// `flips` flips, each at a position drawn uniformly from the bytes of all `spans`.
// Returns the counts; `report` sees every silent flip and every output left behind.
template <class Report>
FlipCounts FlipSpans(const std::vector<FlipSpan>& spans, size_t flips, uint64_t seed,
                     const std::filesystem::path& folder, Report report) {
  uint64_t total = 0;
  for (const FlipSpan& span : spans) total += span.range.length;
  FlipCounts counts;
  if (total == 0) return counts;
  std::mt19937_64 random(seed);
  for (size_t i = 0; i < flips; ++i) {
    uint64_t at = std::uniform_int_distribution<uint64_t>(0, total - 1)(random);
    const int bit = static_cast<int>(random() % 8);
    for (const FlipSpan& span : spans) {
      if (at >= span.range.length) {
        at -= span.range.length;
        continue;
      }
      const uint64_t position = span.range.offset + at;
      const FlipOutcome outcome = FlipAndRestore(*span.target, position, bit, folder);
      counts.Add(outcome);
      if (outcome == FlipOutcome::kSilent || outcome == FlipOutcome::kLeftOutput) {
        report(*span.target, position, bit, outcome);
      }
      break;
    }
  }
  return counts;
}

// `flips` flips for `codec`, each at a position drawn uniformly from the bytes of all
// chunks stored with that codec.
template <class Report>
FlipCounts FlipCampaign(const std::vector<FlipTarget>& targets, Codec codec, size_t flips, uint64_t seed,
                        const std::filesystem::path& folder, Report report) {
  std::vector<FlipSpan> spans;
  for (const auto& target : targets) {
    for (const auto& range : target.coded) {
      if (range.codec == codec) spans.push_back({&target, range});
    }
  }
  return FlipSpans(spans, flips, seed, folder, report);
}

// `flips` flips inside the chunks of re-encoded images, whatever their codec.
template <class Report>
FlipCounts FlipReencodedCampaign(const std::vector<FlipTarget>& targets, size_t flips, uint64_t seed,
                                 const std::filesystem::path& folder, Report report) {
  std::vector<FlipSpan> spans;
  for (const auto& target : targets) {
    for (const auto& range : target.coded) {
      if (range.reencoded) spans.push_back({&target, range});
    }
  }
  return FlipSpans(spans, flips, seed, folder, report);
}

// `flips` flips inside the descriptions (metadata blocks and footers) of the targets.
template <class Report>
FlipCounts FlipDescriptionCampaign(const std::vector<FlipTarget>& targets, size_t flips, uint64_t seed,
                                   const std::filesystem::path& folder, Report report) {
  std::vector<FlipSpan> spans;
  for (const auto& target : targets) spans.push_back({&target, target.description});
  return FlipSpans(spans, flips, seed, folder, report);
}

}  // namespace tarn::test
