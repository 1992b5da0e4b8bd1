// Runs one input through the header decoding code and checks what must hold for every input; shared by the
// randomised test and the libFuzzer target.
#pragma once

#include "store/EncodedWords.h"
#include "store/HeaderBlock.h"
#include "store/MailCharset.h"

#include <algorithm>
#include <cstring>
#include <string>
#include <string_view>

namespace qm::store::test {

/// Limits small enough for short inputs to reach them.
inline HeaderLimits TightLimits()
{
    HeaderLimits limits;
    limits.MaxHeaders = 4;
    limits.MaxLineLength = 40;
    limits.MaxTotalSize = 120;
    return limits;
}

/// Feeds data, split at LF, to a header block with limits, decodes every line on its own and converts it as JIS
/// text. Returns "" when every invariant held, else what broke.
inline std::string ExerciseHeaderBlock(std::string_view data, const HeaderLimits& limits)
{
    HeaderBlock block(limits);
    std::size_t start = 0;
    while (start <= data.size()) {
        const std::size_t lf = data.find('\n', start);
        const std::string_view line =
                data.substr(start, lf == std::string_view::npos ? data.size() - start : lf - start);
        block.AddLine(line);

        std::string decoded(line);
        DecodeEncodedWords(decoded);
        if (decoded.size() > 3 * line.size()) {
            return "decoding made a line more than three times longer";
        }
        if (!IsUtf8(decoded)) {
            return "decoding gave text that is not UTF-8";
        }
        if (std::count(decoded.begin(), decoded.end(), '\0') > std::count(line.begin(), line.end(), '\0')) {
            return "decoding made a NUL byte";
        }
        std::string jis(line);
        JisToShiftJis(jis);
        if (jis.size() > line.size()) {
            return "JIS conversion made a line longer";
        }
        if (lf == std::string_view::npos) {
            break;
        }
        start = lf + 1;
    }

    if (static_cast<std::size_t>(block.Count()) > limits.MaxHeaders) {
        return "more headers than the limit";
    }
    std::size_t total = 0;
    for (int i = 0; i < block.Count(); ++i) {
        const std::size_t nameLength = std::strlen(block.Item(i)->Name());
        if (nameLength > 59) {
            return "a name longer than 59 bytes";
        }
        total += nameLength + std::strlen(block.Item(i)->Value());
    }
    if (total > limits.MaxTotalSize) {
        return "names and values beyond the total size";
    }
    for (int i = 0; i < block.Count(); ++i) {
        if (!IsUtf8(block.Item(i)->Value())) {
            return "a value that is not UTF-8";
        }
    }
    std::string boundary;
    const bool found = block.GetBoundary(boundary);
    if (boundary.size() > kMaxBoundaryLength || found != (boundary.size() > 2) ||
        (found && boundary.compare(0, 2, "--") != 0)) {
        return "a bad boundary: " + boundary;
    }
    return "";
}

} // namespace qm::store::test
