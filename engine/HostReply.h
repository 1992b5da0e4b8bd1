// The engine's side of the in-memory reply hand-over (common/HostReplyApi.h): a write stream over a host's reply.
#pragma once

#include "common/HostReplyApi.h"
#include "platform/FdStream.h"

namespace qm::engine {

/// A write stream over `reply`: closing it ends the reply. When the stream cannot be made the reply is ended at once
/// and null is returned. A null reply gives null.
platform::UniqueFile StreamOverHostReply(const QmHostReply* reply);

} // namespace qm::engine
