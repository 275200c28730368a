#include "reference_codecs.hpp"

#include <charls/charls.h>
#include <jxl/decode_cxx.h>
#include <jxl/encode_cxx.h>
// ojph_arch.h first: the other OpenJPH headers use its macros without including it.
#include <openjph/ojph_arch.h>
#include <openjph/ojph_codestream.h>
#include <openjph/ojph_file.h>
#include <openjph/ojph_mem.h>
#include <openjph/ojph_params.h>
#include <zstd.h>

#include <algorithm>
#include <cstring>
#include <exception>

namespace nivra_bench {
namespace {

bool ZstdEncode(const Image& image, int level, std::vector<uint8_t>& out) {
  std::size_t size = image.pixels.size() * 2;
  out.resize(ZSTD_compressBound(size));
  std::size_t n = ZSTD_compress(out.data(), out.size(), image.pixels.data(), size, level);
  if (ZSTD_isError(n)) return false;
  out.resize(n);
  return true;
}

bool ZstdDecode(const std::vector<uint8_t>& in, const Image& image, std::vector<uint16_t>& out) {
  out.resize(image.pixels.size());
  std::size_t n = ZSTD_decompress(out.data(), out.size() * 2, in.data(), in.size());
  return !ZSTD_isError(n) && n == out.size() * 2;
}

bool JpegLsEncode(const Image& image, int, std::vector<uint8_t>& out) {
  try {
    out = charls::jpegls_encoder::encode(
        std::vector<uint8_t>(reinterpret_cast<const uint8_t*>(image.pixels.data()),
                             reinterpret_cast<const uint8_t*>(image.pixels.data() + image.pixels.size())),
        charls::frame_info{image.width, image.height, 16, 1});
    return true;
  } catch (const std::exception&) {
    return false;
  }
}

bool JpegLsDecode(const std::vector<uint8_t>& in, const Image& image, std::vector<uint16_t>& out) {
  try {
    out.resize(image.pixels.size());
    charls::jpegls_decoder decoder(in, true);
    decoder.decode(out.data(), out.size() * 2);
    return true;
  } catch (const std::exception&) {
    return false;
  }
}

bool JxlEncode(const Image& image, int effort, std::vector<uint8_t>& out) {
  auto encoder = JxlEncoderMake(nullptr);
  JxlBasicInfo info;
  JxlEncoderInitBasicInfo(&info);
  info.xsize = image.width;
  info.ysize = image.height;
  info.bits_per_sample = 16;
  info.num_color_channels = 1;
  info.uses_original_profile = JXL_TRUE;
  if (JxlEncoderSetBasicInfo(encoder.get(), &info) != JXL_ENC_SUCCESS) return false;
  JxlColorEncoding color;
  JxlColorEncodingSetToLinearSRGB(&color, JXL_TRUE);
  if (JxlEncoderSetColorEncoding(encoder.get(), &color) != JXL_ENC_SUCCESS) return false;
  JxlEncoderFrameSettings* settings = JxlEncoderFrameSettingsCreate(encoder.get(), nullptr);
  JxlEncoderSetFrameLossless(settings, JXL_TRUE);
  JxlEncoderFrameSettingsSetOption(settings, JXL_ENC_FRAME_SETTING_EFFORT, effort);
  JxlPixelFormat format{1, JXL_TYPE_UINT16, JXL_NATIVE_ENDIAN, 0};
  if (JxlEncoderAddImageFrame(settings, &format, image.pixels.data(), image.pixels.size() * 2) != JXL_ENC_SUCCESS) {
    return false;
  }
  JxlEncoderCloseInput(encoder.get());
  out.resize(1 << 16);
  uint8_t* next = out.data();
  std::size_t available = out.size();
  JxlEncoderStatus status;
  while ((status = JxlEncoderProcessOutput(encoder.get(), &next, &available)) == JXL_ENC_NEED_MORE_OUTPUT) {
    std::size_t used = next - out.data();
    out.resize(out.size() * 2);
    next = out.data() + used;
    available = out.size() - used;
  }
  if (status != JXL_ENC_SUCCESS) return false;
  out.resize(next - out.data());
  return true;
}

bool JxlDecode(const std::vector<uint8_t>& in, const Image& image, std::vector<uint16_t>& out) {
  auto decoder = JxlDecoderMake(nullptr);
  if (JxlDecoderSubscribeEvents(decoder.get(), JXL_DEC_FULL_IMAGE) != JXL_DEC_SUCCESS) return false;
  JxlDecoderSetInput(decoder.get(), in.data(), in.size());
  JxlDecoderCloseInput(decoder.get());
  JxlPixelFormat format{1, JXL_TYPE_UINT16, JXL_NATIVE_ENDIAN, 0};
  out.resize(image.pixels.size());
  for (;;) {
    JxlDecoderStatus status = JxlDecoderProcessInput(decoder.get());
    if (status == JXL_DEC_NEED_IMAGE_OUT_BUFFER) {
      if (JxlDecoderSetImageOutBuffer(decoder.get(), &format, out.data(), out.size() * 2) != JXL_DEC_SUCCESS) {
        return false;
      }
    } else if (status == JXL_DEC_SUCCESS || status == JXL_DEC_FULL_IMAGE) {
      if (status == JXL_DEC_SUCCESS) return true;
    } else {
      return false;
    }
  }
}

// HTJ2K (OpenJPH): reversible 5/3 wavelet, one tile covering the image, 64x64 code blocks.
bool Htj2kEncode(const Image& image, int, std::vector<uint8_t>& out) {
  try {
    ojph::codestream codestream;
    ojph::param_siz siz = codestream.access_siz();
    siz.set_image_extent(ojph::point(image.width, image.height));
    siz.set_num_components(1);
    siz.set_component(0, ojph::point(1, 1), 16, false);
    siz.set_image_offset(ojph::point(0, 0));
    siz.set_tile_size(ojph::size(image.width, image.height));
    siz.set_tile_offset(ojph::point(0, 0));
    ojph::param_cod cod = codestream.access_cod();
    // Five levels, fewer when the image is too small for them.
    uint32_t levels = 5;
    while (levels > 0 && std::min(image.width, image.height) >> levels < 1) --levels;
    cod.set_num_decomposition(levels);
    cod.set_block_dims(64, 64);
    cod.set_progression_order("RPCL");
    cod.set_color_transform(false);
    cod.set_reversible(true);
    codestream.set_planar(false);
    ojph::mem_outfile file;
    file.open();
    codestream.write_headers(&file);
    ojph::ui32 component = 0;
    ojph::line_buf* line = codestream.exchange(nullptr, component);
    for (uint32_t y = 0; y < image.height; ++y) {
      const uint16_t* row = image.pixels.data() + std::size_t{y} * image.width;
      for (uint32_t x = 0; x < image.width; ++x) line->i32[x] = row[x];
      line = codestream.exchange(line, component);
    }
    codestream.flush();
    out.assign(file.get_data(), file.get_data() + file.tell());
    codestream.close();
    return true;
  } catch (const std::exception&) {
    return false;
  }
}

bool Htj2kDecode(const std::vector<uint8_t>& in, const Image& image, std::vector<uint16_t>& out) {
  try {
    ojph::mem_infile file;
    file.open(in.data(), in.size());
    ojph::codestream codestream;
    codestream.read_headers(&file);
    codestream.create();
    out.resize(image.pixels.size());
    for (uint32_t y = 0; y < image.height; ++y) {
      ojph::ui32 component = 0;
      ojph::line_buf* line = codestream.pull(component);
      uint16_t* row = out.data() + std::size_t{y} * image.width;
      for (uint32_t x = 0; x < image.width; ++x) row[x] = static_cast<uint16_t>(line->i32[x]);
    }
    codestream.close();
    return true;
  } catch (const std::exception&) {
    return false;
  }
}

}  // namespace

std::vector<ReferenceCodec> ReferenceCodecs() {
  return {
      {"zstd-3", ZstdEncode, ZstdDecode, 3},       {"zstd-19", ZstdEncode, ZstdDecode, 19},
      {"jpeg-ls", JpegLsEncode, JpegLsDecode, 0},  {"jxl-e1", JxlEncode, JxlDecode, 1},
      {"jxl-e7", JxlEncode, JxlDecode, 7},        {"htj2k", Htj2kEncode, Htj2kDecode, 0},
  };
}

}  // namespace nivra_bench
