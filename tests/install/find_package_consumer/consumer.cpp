// Restores a file through libtarn and round-trips an image through libnivra, comparing
// both results with their originals.
#include <cstdint>
#include <cstdio>
#include <fstream>
#include <iterator>
#include <string>
#include <vector>

#include <nivra/nivra.hpp>
#include <tarn/tarn.h>

namespace {

std::string Read(const char* path) {
  std::ifstream in(path, std::ios::binary);
  return {std::istreambuf_iterator<char>(in), {}};
}

bool NivraRoundTrip() {
  const int32_t width = 96;
  const int32_t height = 64;
  std::vector<uint16_t> pixels(width * height);
  for (size_t i = 0; i < pixels.size(); ++i) pixels[i] = static_cast<uint16_t>(1000 + (i % width) * 7 + (i / width) * 3);
  std::vector<uint8_t> coded(pixels.size() * 4 + 1024);
  int32_t coded_length = static_cast<int32_t>(coded.size());
  if (nivra_encode(pixels.data(), width, height, coded.data(), &coded_length) != BM_OK) return false;
  std::vector<uint16_t> decoded(pixels.size());
  if (nivra_decode(coded.data(), coded_length, decoded.data(), static_cast<int32_t>(decoded.size())) != BM_OK) {
    return false;
  }
  std::printf("nivra: %zu bytes of pixels coded in %d\n", pixels.size() * 2, coded_length);
  return decoded == pixels && !Brimlake::Nivra::Util::nivra_dir().empty();
}

}  // namespace

int main(int argc, char** argv) {
  if (argc != 4) {
    std::fprintf(stderr, "usage: %s SOURCE COMPRESSED RESTORED\n", argv[0]);
    return 2;
  }
  TarnSetLogLevel(4);
  if (TarnCompressFile(argv[1], argv[2], nullptr) != kTarnStatusOk ||
      TarnDecompressFile(argv[2], argv[3], nullptr) != kTarnStatusOk) {
    std::fprintf(stderr, "libtarn failed\n");
    return 1;
  }
  if (Read(argv[1]) != Read(argv[3])) {
    std::fprintf(stderr, "restored file differs from %s\n", argv[1]);
    return 1;
  }
  if (!NivraRoundTrip()) {
    std::fprintf(stderr, "nivra round trip failed\n");
    return 1;
  }
  std::printf("libtarn %s restored %s identically; nivra round trip exact\n", TarnVersion(), argv[1]);
  return 0;
}
