// C++ interface of libnivra: errors, calibration parameters, colour filters,
// embedded headers, noise replacement and the process-wide calibration registry.
#pragma once

#include <cstddef>
#include <cstdint>
#include <filesystem>
#include <functional>
#include <memory>
#include <optional>
#include <span>
#include <stdexcept>
#include <string>
#include <string_view>
#include <vector>

#include "nivra/nivra.h"

namespace Brimlake::Nivra {

// The library's exception; status() is a bm_status code.
class NIVRA_API NivraError : public std::runtime_error {
 public:
  NivraError(bm_status status, const std::string& message);
  explicit NivraError(bm_status status);  // message = bm_status_description(status)
  bm_status status() const noexcept { return status_; }

 private:
  bm_status status_;
};

enum class ColorFilterArray : uint16_t {
  kMono = 0,
  kBayerRG = 4,
  kBayerGR = 5,
  kBayerBG = 6,
  kBayerGB = 7,
};

// Enumerator names ("kBayerRG", ...) and back; the match is exact.
NIVRA_API const char* ColorFilterArrayName(ColorFilterArray cfa);
NIVRA_API std::optional<ColorFilterArray> ColorFilterArrayFromName(std::string_view name);

class NIVRA_API QuantizerParameters {
 public:
  virtual ~QuantizerParameters();
  virtual std::unique_ptr<QuantizerParameters> Clone() const = 0;
};

// Poisson-Gaussian sensor model: signal electrons = (value - black_level) / gain,
// read noise sigma in digital numbers, values clip at white_level.
class NIVRA_API ExtendedAnscombeParameters : public QuantizerParameters {
 public:
  ExtendedAnscombeParameters(float gain, float black_level, float sigma, unsigned white_level);
  std::unique_ptr<QuantizerParameters> Clone() const override;

  float gain() const { return gain_; }
  float black_level() const { return black_level_; }
  float sigma() const { return sigma_; }
  unsigned white_level() const { return white_level_; }
  void set_black_level(float black_level) { black_level_ = black_level; }
  void set_white_level(unsigned white_level) { white_level_ = white_level; }

  // Field by field (a defaulted comparison would be deleted: the base has none).
  bool operator==(const ExtendedAnscombeParameters& other) const {
    return gain_ == other.gain_ && black_level_ == other.black_level_ && sigma_ == other.sigma_ &&
           white_level_ == other.white_level_;
  }

 private:
  float gain_;
  float black_level_;
  float sigma_;
  unsigned white_level_;
};

// A header carried in the leading pixels of a prepared image.
class NIVRA_API EmbeddedHeader {
 public:
  virtual ~EmbeddedHeader();

  // The header carried by the leading pixels, or null when they carry none.
  static std::unique_ptr<EmbeddedHeader> Read(std::span<const uint16_t> pixels);

  // Number of leading pixels the header occupies.
  virtual std::size_t PixelCount() const = 0;
  // Writes the header into the leading PixelCount() pixels.
  virtual void Embed(std::span<uint16_t> pixels) const = 0;

  uint64_t seed() const { return seed_; }
  float error_bound() const { return error_bound_; }
  const std::shared_ptr<QuantizerParameters>& parameters() const { return parameters_; }

 protected:
  EmbeddedHeader(uint64_t seed, float error_bound, std::shared_ptr<QuantizerParameters> parameters);

 private:
  uint64_t seed_;
  float error_bound_;
  std::shared_ptr<QuantizerParameters> parameters_;
};

class NIVRA_API ColorHeader : public EmbeddedHeader {
 public:
  ColorHeader(uint64_t seed, float error_bound, ColorFilterArray cfa,
              std::shared_ptr<QuantizerParameters> parameters);
  std::size_t PixelCount() const override;
  void Embed(std::span<uint16_t> pixels) const override;
  ColorFilterArray cfa() const { return cfa_; }

 private:
  ColorFilterArray cfa_;
};

class NIVRA_API MonochromeHeader : public EmbeddedHeader {
 public:
  MonochromeHeader(uint64_t seed, float error_bound, std::shared_ptr<QuantizerParameters> parameters);
  std::size_t PixelCount() const override;
  void Embed(std::span<uint16_t> pixels) const override;
};

// Runs task(0) .. task(count - 1) and returns when every call has returned; may run them at the same time on
// other threads. If a task throws, the implementation waits for the others and rethrows the first exception.
using ParallelFor = std::function<void(std::size_t count, const std::function<void(std::size_t)>& task)>;

// nivra_encode and nivra_decode with independent parts of the work (bands of rows, layout trials) handed to
// parallel_for. The bytes written are the same whatever parallel_for does (an empty one runs serially).
// Statuses as in nivra.h; never throws (a failing parallel_for gives 1 for memory, else 3).
NIVRA_API bm_status encode(const uint16_t* pixels, int32_t width, int32_t height, uint8_t* destination,
                           int32_t* destination_length, const ParallelFor& parallel_for);
NIVRA_API bm_status decode(const uint8_t* source, int32_t source_size, uint16_t* destination, int32_t pixel_count,
                           const ParallelFor& parallel_for);

// The newest stream version this library writes; decoders read it and every earlier one.
constexpr unsigned kStreamVersion = 3;

struct EncodeOptions {
  // The version of the stream written: kStreamVersion, or 2 for readers that know no later
  // version (exactly the bytes the version 2 encoder wrote). Any other value gives 11.
  unsigned stream_version = kStreamVersion;
};
NIVRA_API bm_status encode(const uint16_t* pixels, int32_t width, int32_t height, uint8_t* destination,
                           int32_t* destination_length, const ParallelFor& parallel_for, const EncodeOptions& options);

// The check before storing a stream: decodes it band by band, each band into a buffer of its
// own size (so at most one band per task is held at a time), checks each band's checksum and
// compares it with `pixels`. Returns the status decoding gives (0, or 7 for a stream that does
// not decode, 1 for memory); `same_pixels` is true only when it returns 0 and every pixel
// matched. Never throws.
NIVRA_API bm_status verify(const uint8_t* source, int32_t source_size, const uint16_t* pixels, int32_t pixel_count,
                           const ParallelFor& parallel_for, bool& same_pixels);

// What the start of a coded image says about it, read without decoding (README › Bit stream).
struct StreamInfo {
  unsigned version = 0;   // stream version
  bool prepared = false;  // prepared (calibrated, lossy) mode; otherwise lossless
  uint32_t width = 0;
  uint32_t height = 0;
};
// The stream's version, mode and size, or nothing when `data` does not start like a stream this
// library reads (wrong signature, unknown version or mode, zero or oversized dimensions). It proves
// nothing about the rest of the stream: only decoding checks that.
NIVRA_API std::optional<StreamInfo> read_stream_info(const uint8_t* data, std::size_t size);

// Calibrated noise replacement of the prepare stage, in place over count pixels (README › Noise model and preparation).
// Throws NivraError (9) when the parameters are not usable. The second form spreads blocks of pixels over
// parallel_for; the result is the same.
NIVRA_API void replace_noise(uint16_t* pixels, std::size_t count, const QuantizerParameters& parameters,
                             float error_bound, uint64_t seed);
NIVRA_API void replace_noise(uint16_t* pixels, std::size_t count, const QuantizerParameters& parameters,
                             float error_bound, uint64_t seed, const ParallelFor& parallel_for);

// The process-wide calibration registry. All operations are thread-safe.
namespace ParameterRegistry {
// Shared parameters for the identifier, or null.
NIVRA_API std::shared_ptr<QuantizerParameters> get_parameters(const std::string& identifier);
NIVRA_API void set_parameters(const std::string& identifier, std::shared_ptr<QuantizerParameters> parameters,
                              const std::string& cfa = "kMono", const std::string& metadata = "");
// Colour-filter name stored for the identifier ("" when unknown).
NIVRA_API std::string get_cfa(const std::string& identifier);
// Loads one calibration file; returns the number of identifiers it added or replaced.
// Throws NivraError (5 unreadable, 7 malformed).
NIVRA_API std::size_t load_file(const std::filesystem::path& path);
NIVRA_API void clear();
NIVRA_API std::vector<std::string> get_identifiers();
// A text describing the identifier's calibration ("" when unknown).
NIVRA_API std::string get_metadata(const std::string& identifier);
}  // namespace ParameterRegistry

namespace Util {
// Directory of the installation's calibration data (beside the library).
NIVRA_API std::string nivra_dir();
// The user's calibration directory ($XDG_CONFIG_HOME/nivra, else ~/.config/nivra).
NIVRA_API std::string config_data_dir();
}  // namespace Util

}  // namespace Brimlake::Nivra
