#include "cat.hpp"

#include <unistd.h>

#include <algorithm>
#include <charconv>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include <fmt/format.h>
#include <tiffio.h>

#include "console.hpp"
#include "library_log.hpp"
#include "tarn/archive/archive.hpp"
#include "tarn/error.hpp"

namespace tarn::cli {
namespace {

namespace fs = std::filesystem;

constexpr int kOk = 0;
constexpr int kFailed = 1;
constexpr int kUsage = 2;

constexpr std::string_view kCatUsage = R"(Usage: tarn cat FILE.nivra [--plane N -o OUT.tif | --range OFFSET:SIZE [-o OUT]] [-f]

Reads from a compressed file in place, decoding only what is asked for:
  (nothing)             list the file's planes: index, shape, sample type, codec, offset, position
  --plane N             plane N (from 0) as a TIFF in OUT.tif
  --range OFFSET:SIZE   SIZE bytes of the original file from OFFSET, to OUT or standard output
  -o, --output OUT      where to write (never overwritten unless -f)
  -f, --force           replace an existing OUT
Every chunk read is checked as a restore is; damage fails with its cause and writes nothing.
)";

struct CatArguments {
  fs::path file;
  std::optional<size_t> plane;
  std::optional<std::pair<uint64_t, uint64_t>> range;
  std::optional<fs::path> output;
  bool force = false;
};

struct Usage {
  std::string text;
};

uint64_t Number(std::string_view text, std::string_view what) {
  uint64_t value = 0;
  const auto [end, error] = std::from_chars(text.data(), text.data() + text.size(), value);
  if (error != std::errc() || end != text.data() + text.size() || text.empty()) {
    throw Usage{fmt::format("{} must be a number, not '{}'", what, text)};
  }
  return value;
}

CatArguments Parse(int argc, char** argv) {
  CatArguments arguments;
  bool have_file = false;
  for (int i = 1; i < argc; ++i) {
    const std::string_view argument = argv[i];
    const auto value = [&]() -> std::string_view {
      if (i + 1 >= argc) throw Usage{fmt::format("{} needs a value", argument)};
      return argv[++i];
    };
    if (argument == "--plane") {
      arguments.plane = Number(value(), "--plane");
    } else if (argument == "--range") {
      const std::string_view range = value();
      const auto colon = range.find(':');
      if (colon == std::string_view::npos) throw Usage{"--range takes OFFSET:SIZE"};
      arguments.range = {Number(range.substr(0, colon), "OFFSET"), Number(range.substr(colon + 1), "SIZE")};
    } else if (argument == "-o" || argument == "--output") {
      arguments.output = fs::path(std::string(value()));
    } else if (argument == "-f" || argument == "--force") {
      arguments.force = true;
    } else if (argument == "-h" || argument == "--help") {
      throw Usage{};
    } else if (!argument.empty() && argument[0] == '-') {
      throw Usage{fmt::format("unknown option {}", argument)};
    } else if (have_file) {
      throw Usage{"cat reads one file"};
    } else {
      arguments.file = std::string(argument);
      have_file = true;
    }
  }
  if (!have_file) throw Usage{"cat needs a compressed file"};
  if (arguments.plane && arguments.range) throw Usage{"give --plane or --range, not both"};
  if (arguments.plane && !arguments.output) throw Usage{"--plane needs -o OUT.tif"};
  if (!arguments.plane && !arguments.range && arguments.output) throw Usage{"-o goes with --plane or --range"};
  return arguments;
}

// Writes through a temporary name in the same folder and gives the output its name only
// when it is complete, so a failure leaves nothing (and an earlier file as it was).
class Output {
 public:
  Output(fs::path target, bool force) : target_(std::move(target)) {
    if (!force && fs::exists(target_)) {
      throw Error(fmt::format("{} exists (-f replaces it)", target_.string()), kTarnStatusCouldNotWriteFile);
    }
    temporary_ = target_;
    temporary_ += fmt::format(".tarn-cat-{}", getpid());
  }
  ~Output() {
    std::error_code ignored;
    if (!committed_) fs::remove(temporary_, ignored);
  }
  const fs::path& temporary() const { return temporary_; }
  void Commit() {
    fs::rename(temporary_, target_);
    committed_ = true;
  }

 private:
  fs::path target_;
  fs::path temporary_;
  bool committed_ = false;
};

std::string PositionText(const archive::Position& position) {
  std::vector<std::string> parts;
  for (const auto& [name, value] : position) parts.push_back(fmt::format("{}={}", name, value));
  return fmt::format("{}", fmt::join(parts, " "));
}

void List(const archive::Archive& archive, Console& console) {
  const auto positions = archive.Positions();
  for (size_t i = 0; i < archive.Planes().size(); ++i) {
    const archive::PlaneInfo& plane = archive.Planes()[i];
    const std::string channels = plane.channels == 1 ? "" : fmt::format("x{}", plane.channels);
    console.Out(fmt::format("{}\t{}x{}{}\tuint{}{}\t{}\t{}\t{}", i, plane.height, plane.width, channels,
                            plane.bytes_per_sample * 8, plane.endianness == std::endian::big ? "be" : "le",
                            CodecName(plane.codec), plane.source_offset, PositionText(positions[i])));
  }
}

struct TiffCloser {
  void operator()(TIFF* tiff) const { TIFFClose(tiff); }
};

void WritePlaneTiff(const archive::PlaneInfo& plane, std::vector<uint8_t> bytes, const fs::path& path) {
  const uint16_t sample = plane.bytes_per_sample;
  if (sample != 1 && sample != 2 && sample != 4 && sample != 8) {
    throw Error(fmt::format("samples of {} bytes have no TIFF form here", sample), kTarnStatusUnknownError);
  }
  // libtiff takes samples in host order.
  if (plane.endianness != std::endian::native && sample > 1) {
    for (size_t i = 0; i + sample <= bytes.size(); i += sample) std::reverse(&bytes[i], &bytes[i + sample]);
  }
  const bool big = bytes.size() > (uint64_t{1} << 31);
  const std::unique_ptr<TIFF, TiffCloser> tiff(TIFFOpen(path.string().c_str(), big ? "w8" : "w"));
  if (!tiff) throw Error(fmt::format("cannot write {}", path.string()), kTarnStatusCouldNotWriteFile);
  TIFF* t = tiff.get();
  const bool rgb = plane.channels == 3 || plane.channels == 4;
  TIFFSetField(t, TIFFTAG_IMAGEWIDTH, plane.width);
  TIFFSetField(t, TIFFTAG_IMAGELENGTH, plane.height);
  TIFFSetField(t, TIFFTAG_BITSPERSAMPLE, static_cast<uint16_t>(sample * 8));
  TIFFSetField(t, TIFFTAG_SAMPLESPERPIXEL, plane.channels);
  TIFFSetField(t, TIFFTAG_PLANARCONFIG, PLANARCONFIG_CONTIG);
  TIFFSetField(t, TIFFTAG_PHOTOMETRIC, rgb ? PHOTOMETRIC_RGB : PHOTOMETRIC_MINISBLACK);
  TIFFSetField(t, TIFFTAG_COMPRESSION, COMPRESSION_NONE);
  TIFFSetField(t, TIFFTAG_ROWSPERSTRIP, plane.height);
  const uint16_t extra = static_cast<uint16_t>(plane.channels - (rgb ? 3 : 1));
  if (extra > 0) {
    const std::vector<uint16_t> kinds(extra, EXTRASAMPLE_UNSPECIFIED);
    TIFFSetField(t, TIFFTAG_EXTRASAMPLES, extra, kinds.data());
  }
  if (TIFFWriteEncodedStrip(t, 0, bytes.data(), static_cast<tmsize_t>(bytes.size())) < 0 ||
      TIFFWriteDirectory(t) != 1) {
    throw Error(fmt::format("cannot write {}", path.string()), kTarnStatusCouldNotWriteFile);
  }
}

void WriteRange(const archive::Archive& archive, uint64_t offset, uint64_t size, std::FILE* out) {
  // Chunk by chunk, so a large range never sits in memory whole.
  constexpr uint64_t kPiece = uint64_t{16} << 20;
  std::vector<uint8_t> buffer;
  for (uint64_t done = 0; done < size;) {
    const uint64_t take = std::min(kPiece, size - done);
    buffer.resize(take);
    archive.Read(offset + done, buffer);
    if (std::fwrite(buffer.data(), 1, take, out) != take) {
      throw Error("cannot write the output", kTarnStatusCouldNotWriteFile);
    }
    done += take;
  }
}

}  // namespace

int Cat(int argc, char** argv) {
  CatArguments arguments;
  try {
    arguments = Parse(argc, argv);
  } catch (const Usage& usage) {
    if (usage.text.empty()) {
      fmt::print("{}", kCatUsage);
      return kOk;
    }
    fmt::print(stderr, "tarn cat: {}\nTry 'tarn cat --help'.\n", usage.text);
    return kUsage;
  }
  Console console(false);
  RouteLibraryLog(console, 0);
  try {
    const archive::Archive archive = archive::Archive::Open(arguments.file);
    if (arguments.plane) {
      if (*arguments.plane >= archive.Planes().size()) {
        throw Error(fmt::format("{} has {} planes; there is no plane {}", arguments.file.string(),
                                archive.Planes().size(), *arguments.plane),
                    kTarnStatusUnknownError);
      }
      archive::DecodedPlane plane = archive.DecodePlane(*arguments.plane);
      Output output(*arguments.output, arguments.force);
      WritePlaneTiff(archive.Planes()[*arguments.plane], std::move(plane.bytes), output.temporary());
      output.Commit();
      if (plane.prepared) console.Err(fmt::format("tarn cat: plane {} was prepared (lossy)", *arguments.plane));
    } else if (arguments.range) {
      const auto [offset, size] = *arguments.range;
      if (offset > archive.Size() || size > archive.Size() - offset) {
        throw Error(fmt::format("range {}:{} is past the end of the original ({} bytes)", offset, size,
                                archive.Size()),
                    kTarnStatusUnknownError);
      }
      if (arguments.output) {
        Output output(*arguments.output, arguments.force);
        std::unique_ptr<std::FILE, int (*)(std::FILE*)> file(std::fopen(output.temporary().c_str(), "wb"), std::fclose);
        if (!file) throw Error(fmt::format("cannot write {}", arguments.output->string()), kTarnStatusCouldNotWriteFile);
        WriteRange(archive, offset, size, file.get());
        if (std::fclose(file.release()) != 0) {
          throw Error(fmt::format("cannot write {}", arguments.output->string()), kTarnStatusCouldNotWriteFile);
        }
        output.Commit();
      } else {
        WriteRange(archive, offset, size, stdout);
        if (std::fflush(stdout) != 0) throw Error("cannot write the output", kTarnStatusCouldNotWriteFile);
      }
    } else {
      List(archive, console);
    }
  } catch (const std::exception& error) {
    console.Err(fmt::format("tarn cat: {}", error.what()));
    return kFailed;
  }
  return kOk;
}

}  // namespace tarn::cli
