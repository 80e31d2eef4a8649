// Retention of streams: removing the entries below an offset, so that a
// store holding a long-lived log stops growing with its history.
//
// Contract: trim_stream deletes the entries of stream `name` whose offset is
// below `before_offset`, in one engine transaction with change capture, and
// returns how many it deleted. Unless `force`, it never deletes an entry that
// a reader has yet to take: the bound is lowered to the cursor of every
// subscription of the topic of the same name and to the position (and the
// leased offset) of every consumer group of the stream. The next-offset
// counter stays, so offsets are never reused and the tail does not move; a
// read, poll or group claim from a trimmed offset starts at the first entry
// kept.
//
// Checks, all before anything is written: the name (EmptyName,
// NameTooLong); without `force`, every reader position (CorruptMetadata for a
// cursor that is not 8 bytes or a group state that does not decode); the
// entry keys below the bound (CorruptMetadata for one that is not the entry
// prefix and 8 bytes, as a read meeting it reports). Nothing to delete
// writes nothing.
//
// Cost: one seek, one step per subscription and group of the stream, and
// one per entry removed; entries kept are not visited.
#pragma once

#include <cstdint>
#include <expected>
#include <string_view>

#include "messaging/stream.h"

namespace ombrel::engine {
class Store;
}

namespace ombrel::messaging {

std::expected<uint64_t, MessagingError> trim_stream(engine::Store& store, std::string_view name, uint64_t before_offset,
                                                    bool force);

}  // namespace ombrel::messaging
