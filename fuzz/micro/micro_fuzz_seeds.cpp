// Writes small synthetic ND2 and CZI files to start the fuzzers from:
//   micro_fuzz_seeds <folder>  ->  <folder>/nd2/*.nd2 and <folder>/czi/*.czi
#include <cstdio>
#include <filesystem>

#include "readers/czi_builder.hpp"
#include "readers/nd2_builder.hpp"

int main(int argc, char** argv) {
  if (argc != 2) {
    std::fprintf(stderr, "usage: %s <folder>\n", argv[0]);
    return 2;
  }
  using namespace tarn::test;
  const std::filesystem::path folder = argv[1];
  std::filesystem::create_directories(folder / "nd2");
  std::filesystem::create_directories(folder / "czi");

  Nd2Spec nd2;
  nd2.alignment = 16;
  nd2.image_name_length = 20;
  BuildNd2(nd2).file.WriteTo(folder / "nd2" / "gray16.nd2");
  nd2.components = 3;
  nd2.bits = 8;
  nd2.width_bytes = 16;
  nd2.xml_attributes = true;
  nd2.version = "Ver2.0";
  BuildNd2(nd2).file.WriteTo(folder / "nd2" / "rgb8_xml.nd2");

  CziSpec czi;
  BuildCzi(czi).file.WriteTo(folder / "czi" / "gray16.czi");
  czi.blocks.assign(3, CziBlockSpec{});
  czi.blocks[1].pixel_type = 3;
  czi.blocks[2].pixel_type = 4;
  czi.blocks[2].logical_width = 10;
  BuildCzi(czi).file.WriteTo(folder / "czi" / "mixed.czi");
  return 0;
}
