// `tarn calibrate`: the noise model of a camera, measured from the user's own images.
#pragma once

#include "arguments.hpp"
#include "console.hpp"

namespace tarn::cli {

// Returns the exit status: 0 when a calibration was written, 1 otherwise.
int RunCalibrate(const Arguments& arguments, Console& console);

}  // namespace tarn::cli
