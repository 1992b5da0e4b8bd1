// libFuzzer target for the admin server's request-head parser. Checks what must hold for every input: the status is
// 200 exactly when parsing succeeds (else 400 or 501), the path keeps its length limit, and no parsed value holds a
// line break.
#include "portico/HttpConnection.h"

#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <string_view>

namespace {

[[noreturn]] void Broken(const char* what)
{
    static_cast<void>(std::fprintf(stderr, "request parser invariant broken: %s\n", what));
    std::abort();
}

bool HasLineBreak(std::string_view text)
{
    return text.find_first_of("\r\n") != std::string_view::npos;
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size);

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size)
{
    const std::string_view head(reinterpret_cast<const char*>(data), size);
    qm::portico::HttpRequest request;
    int status = 0;
    const bool parsed = qm::portico::ParseRequest(head, request, status);
    if (parsed != (status == 200) || (!parsed && status != 400 && status != 501)) {
        Broken("status and result disagree");
    }
    if (!parsed) {
        return 0;
    }
    if (request.Path.size() > qm::portico::kMaxPathLength) {
        Broken("path longer than its limit");
    }
    if (request.ContentLength < 0) {
        Broken("negative Content-Length");
    }
    if (HasLineBreak(request.RequestLine) || HasLineBreak(request.UserAgent) ||
        HasLineBreak(request.ContentType.value_or("")) || HasLineBreak(request.Cookie.value_or("")) ||
        HasLineBreak(request.Host.value_or("")) || HasLineBreak(request.Authorization.value_or(""))) {
        Broken("a value holds a line break");
    }
    return 0;
}
