// Switches of the Nivra binding for tests and benchmarks; not part of the C interface.
#pragma once

#include <cstdint>
#include <functional>
#include <span>

namespace tarn::codec::nivra::hooks {

// Called with every stream the encoder produced, before it is checked; tests damage
// the stream here to see that one which does not decode back is never stored.
// An empty function removes the hook.
void SetEncodedStreamHook(std::function<void(std::span<uint8_t>)> hook);

// Whether each encoded stream is decoded and compared with its input before it is
// stored (on unless turned off). Only the benchmark that measures what the check
// costs turns it off.
void SetVerification(bool enabled);

}  // namespace tarn::codec::nivra::hooks
