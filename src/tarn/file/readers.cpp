// Source readers by lowercase extension; each reader adds its own rows here.
#include "tarn/file/readers.hpp"

#include "tarn/file/metadata/readers/czi.hpp"
#include "tarn/file/metadata/readers/nd2.hpp"

namespace tarn {

const std::map<std::string, Reader> kReaders = {
    {".czi", metadata::ReadCzi},
    {".nd2", metadata::ReadNd2},
};

}  // namespace tarn
