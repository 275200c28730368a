// `tarn cat`: one plane or one byte range of a compressed file, without restoring the rest.
#pragma once

namespace tarn::cli {

// argv[0] is "cat". Returns the exit status: 0 done, 1 failed, 2 usage.
int Cat(int argc, char** argv);

}  // namespace tarn::cli
