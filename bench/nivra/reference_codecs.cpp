#include "reference_codecs.hpp"

#include <charls/charls.h>
#include <jxl/decode_cxx.h>
#include <jxl/encode_cxx.h>
#include <zstd.h>

#include <cstring>

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

}  // namespace

std::vector<ReferenceCodec> ReferenceCodecs() {
  return {
      {"zstd-3", ZstdEncode, ZstdDecode, 3},       {"zstd-19", ZstdEncode, ZstdDecode, 19},
      {"jpeg-ls", JpegLsEncode, JpegLsDecode, 0},  {"jxl-e1", JxlEncode, JxlDecode, 1},
      {"jxl-e7", JxlEncode, JxlDecode, 7},
  };
}

}  // namespace nivra_bench
