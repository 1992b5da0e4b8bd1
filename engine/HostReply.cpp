#include "engine/HostReply.h"

#include <cstdio>
#include <memory>

namespace qm::engine {

namespace {

// The stream's buffer: a page is written in few pieces; the head and a small page go over in one.
constexpr size_t kReplyStreamBuffer = size_t{64} * 1024;

struct ReplyCookie {
    QmHostReply Reply;
};

ssize_t WriteReply(void* cookie, const char* data, size_t size)
{
    auto* c = static_cast<ReplyCookie*>(cookie);
    const long taken = c->Reply.Write(c->Reply.Context, data, size);
    return taken < 0 ? -1 : static_cast<ssize_t>(taken);
}

int CloseReply(void* cookie)
{
    const std::unique_ptr<ReplyCookie> c(static_cast<ReplyCookie*>(cookie));
    c->Reply.End(c->Reply.Context);
    return 0;
}

} // namespace

platform::UniqueFile StreamOverHostReply(const QmHostReply* reply)
{
    if (reply == nullptr) {
        return nullptr;
    }
    auto cookie = std::make_unique<ReplyCookie>();
    cookie->Reply = *reply;
    const cookie_io_functions_t functions{nullptr, &WriteReply, nullptr, &CloseReply};
    std::FILE* file = fopencookie(cookie.get(), "wb", functions);
    if (file == nullptr) {
        reply->End(reply->Context);
        return nullptr;
    }
    (void)cookie.release(); // the stream owns it and frees it when it is closed
    (void)std::setvbuf(file, nullptr, _IOFBF, kReplyStreamBuffer);
    return platform::UniqueFile(file);
}

} // namespace qm::engine
