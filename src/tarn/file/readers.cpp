// Source readers by lowercase extension; each reader adds its own rows here.
#include "tarn/file/readers.hpp"

#include "tarn/file/metadata/readers/czi.hpp"
#include "tarn/file/metadata/readers/nd2.hpp"
#include "tarn/file/metadata/readers/tiff.hpp"

namespace tarn {

const std::map<std::string, Reader> kReaders = {
    {".czi", metadata::ReadCzi},
    {".nd2", metadata::ReadNd2},
    {".tiff", metadata::ReadTiff},
    {".tif", metadata::ReadTiff},
    {".dng", metadata::ReadTiff},
};

}  // namespace tarn
