// The system's random source, for values that must not be guessable (session ids).
#pragma once

#include "base/Result.h"

#include <cstddef>
#include <cstdint>

namespace qm::platform {

/// Fills size bytes at out from the kernel's random source (getrandom), waiting only while the source is not yet
/// initialised at boot. Fails with the system's error code; out is then left unspecified.
Result<void> FillRandom(void* out, std::size_t size);

/// Four random bytes as one number (FillRandom).
Result<std::uint32_t> RandomUint32();

} // namespace qm::platform
