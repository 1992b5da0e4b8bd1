#include "platform/Charset.h"

#include <cerrno>
#include <cstddef>
#include <string>
#include <utility>

#include <iconv.h>

namespace qm {

namespace {

// Owns one conversion descriptor.
class Converter {
public:
    Converter(const std::string& from, const std::string& to)
        : m_cd(iconv_open(to.c_str(), from.c_str()))
    {}

    Converter(const Converter&) = delete;
    Converter& operator=(const Converter&) = delete;

    ~Converter()
    {
        if (IsOpen()) {
            static_cast<void>(iconv_close(m_cd));
        }
    }

    // (iconv_t)-1 is iconv_open's documented failure value.
    bool IsOpen() const { return m_cd != reinterpret_cast<iconv_t>(-1); } // NOLINT(performance-no-int-to-ptr)

    iconv_t Get() const { return m_cd; }

private:
    iconv_t m_cd;
};

} // namespace

bool ConvertCharset(std::string_view from, std::string_view to, std::string_view input, std::string& output)
{
    std::size_t incomplete = 0;
    if (!ConvertCharset(from, to, input, output, incomplete)) {
        return false;
    }
    if (incomplete != 0) {
        output.clear();
        return false;
    }
    return true;
}

bool ConvertCharset(std::string_view from, std::string_view to, std::string_view input, std::string& output,
                    std::size_t& incomplete)
{
    output.clear();
    incomplete = 0;
    Converter converter{std::string(from), std::string(to)};
    if (!converter.IsOpen()) {
        return false;
    }

    // iconv takes a non-const input pointer but never writes through it.
    char* inPtr = const_cast<char*>(input.data());
    std::size_t inLeft = input.size();

    // Most conversions keep the size; the output grows when it runs out of room.
    std::string out(input.size() + 16, '\0');
    std::size_t used = 0;
    // One step: converts what is left of the input, or, with flush, writes the final shift sequence of a stateful
    // target. False on a conversion error; E2BIG only doubles the room and repeats.
    const auto step = [&](bool flush) {
        for (;;) {
            char* outPtr = out.data() + used;
            std::size_t outLeft = out.size() - used;
            const std::size_t rc = flush ? iconv(converter.Get(), nullptr, nullptr, &outPtr, &outLeft)
                                         : iconv(converter.Get(), &inPtr, &inLeft, &outPtr, &outLeft);
            used = static_cast<std::size_t>(outPtr - out.data());
            if (rc != static_cast<std::size_t>(-1)) {
                return true;
            }
            if (errno == EINVAL && !flush) {
                incomplete = inLeft; // a sequence cut off by the end of the input
                return true;
            }
            if (errno != E2BIG) {
                return false; // EILSEQ: invalid or unconvertible input
            }
            out.resize(out.size() * 2);
        }
    };
    if (!step(false) || !step(true)) {
        return false;
    }
    out.resize(used);
    output = std::move(out);
    return true;
}

} // namespace qm
