// The in-memory hand-over of one response between a host and the engine library: the host's reply object, which
// Main writes into instead of an output descriptor. A C interface, shared by the engine library and its hosts
// (header only, so a host need not link or include the engine).
#pragma once

#include <cstddef>

extern "C" {

/// A reply the host owns for the length of one call. The engine calls Write for every piece of the response (the
/// header lines, the blank line and the body, as it would write them to an output descriptor) and End once, when
/// the response is whole; End comes before the call returns, and after it the engine uses the reply no more.
struct QmHostReply {
    void* Context;
    /// Takes the next `size` bytes; the number of bytes taken (all of them), or -1 when the reply takes no more.
    long (*Write)(void* context, const char* data, std::size_t size);
    void (*End)(void* context);
};

} // extern "C"
