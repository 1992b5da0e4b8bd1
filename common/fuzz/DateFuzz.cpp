// libFuzzer target for the date reader of message and HTTP headers. Checks what must hold for every input: the
// result is 0 or lies in the years the reader accepts (never before 1970), and the text reads the same whatever
// follows its NUL.
#include "common/TextScan.h"

#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <ctime>
#include <string>

namespace {

// The first second of the year 10000, widened by the largest zone offset the reader can take ("-9999").
constexpr std::time_t kLargestZone = (99 * 60 + 99) * 60;
constexpr std::time_t kLatest = 253402300800 + kLargestZone;

[[noreturn]] void Broken(const char* what, std::time_t got)
{
    static_cast<void>(
            std::fprintf(stderr, "date reader invariant broken: %s (got %lld)\n", what, static_cast<long long>(got)));
    std::abort();
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size);

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size)
{
    const std::string text(reinterpret_cast<const char*>(data), size);
    const std::time_t got = qm::ParseRfc822Date(text.c_str());
    if (got < 0 || got > kLatest) {
        Broken("a date outside 1970..9999", got);
    }
    const std::string cut = text.c_str();
    if (qm::ParseRfc822Date(cut.c_str()) != got) {
        Broken("bytes after the NUL changed the result", got);
    }
    return 0;
}
