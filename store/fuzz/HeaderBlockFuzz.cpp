// libFuzzer target for the header decoding code: the first byte picks the limits, the rest is the header block.
#include "store/tests/HeaderBlockExercise.h"

#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <string>

// The entry that libFuzzer, or the replay main of the test builds, calls for every input.
extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size);

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size)
{
    if (size == 0) {
        return 0;
    }
    const bool tight = (data[0] & 1U) != 0;
    const std::string_view block(reinterpret_cast<const char*>(data + 1), size - 1);
    const std::string broken = qm::store::test::ExerciseHeaderBlock(block, tight ? qm::store::test::TightLimits()
                                                                                 : qm::store::HeaderLimits{});
    if (!broken.empty()) {
        static_cast<void>(std::fprintf(stderr, "header block invariant broken: %s\n", broken.c_str()));
        std::abort();
    }
    return 0;
}
