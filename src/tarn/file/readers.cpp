// Source readers by lowercase extension; each reader adds its own rows here.
#include "tarn/file/readers.hpp"

namespace tarn {

const std::map<std::string, Reader> kReaders = {};

}  // namespace tarn
