// Ratios of the version 1 stream (one band, no checksum) on the benchmark's
// images, printed beside today's as the reference: bands and checksums must
// cost under half a percent. Step 0 is lossless; other steps are prepared images.
#pragma once

#include <string>

namespace nivra_bench {

struct ReferenceRatio {
  const char* image;
  float step;
  double ratio;
};

inline constexpr ReferenceRatio kVersion1Ratios[] = {
    {"tif-aicsimageio-s_1_t_1_c_1_z_1.ome.tiff", 0.0f, 1.91085},
    {"tif-aicsimageio-s_1_t_1_c_1_z_1.tiff", 0.0f, 1.91085},
    {"tif-bian-cancer_cell_migration_crop.tif", 0.0f, 2.04898},
    {"tif-czitools-CH1_16bit.tif", 0.0f, 3.65794},
    {"tif-exiv2-bug1044.tif", 0.0f, 3.04110},
    {"tif-ijhyper-pyimagej-test_4_channel.tif", 0.0f, 2.08683},
    {"tif-ijhyper-pyimagej-test_still_stack.tif", 0.0f, 1.95465},
    {"tif-ijstack-pims-tiff_stack.tif", 0.0f, 3.52757},
    {"tif-imagetiff-ScanImageBigTIFFv57.tif", 0.0f, 6.05469},
    {"tif-mei-parrot-issue151.tif", 0.0f, 1.96897},
    {"tif-pillow-16bit.MM.cropped.tif", 0.0f, 2.19213},
    {"tif-pyimagej-test_image.tif", 0.0f, 2.09167},
    {"synthetic-flat", 0.0f, 1.94651},
    {"synthetic-gradient", 0.0f, 1.80412},
    {"synthetic-spots", 0.0f, 3.30241},
    {"synthetic-cells", 0.0f, 2.38805},
    {"synthetic-bayer", 0.0f, 2.10063},
    {"synthetic-flat", 0.5f, 4.95379},
    {"synthetic-flat", 1.0f, 7.04494},
    {"synthetic-flat", 2.0f, 11.25921},
    {"synthetic-gradient", 0.5f, 4.95199},
    {"synthetic-gradient", 1.0f, 7.04075},
    {"synthetic-gradient", 2.0f, 11.24201},
    {"synthetic-spots", 0.5f, 4.72192},
    {"synthetic-spots", 1.0f, 6.58335},
    {"synthetic-spots", 2.0f, 10.11690},
    {"synthetic-cells", 0.5f, 4.03050},
    {"synthetic-cells", 1.0f, 5.33599},
    {"synthetic-cells", 2.0f, 7.58028},
    {"synthetic-bayer", 0.5f, 4.90085},
    {"synthetic-bayer", 1.0f, 6.94364},
    {"synthetic-bayer", 2.0f, 11.15678},
};

// The version 1 ratio of the image at the step, or 0 when it was not measured.
inline double Version1Ratio(const std::string& image, float step) {
  for (const ReferenceRatio& r : kVersion1Ratios) {
    if (image == r.image && step == r.step) return r.ratio;
  }
  return 0;
}

}  // namespace nivra_bench
