#pragma once

#include <memory>
#include <string>
#include <vector>

#include "shredder/serialization.h"
#include "shredder/value.h"

namespace arrow {
class MemoryPool;
class RecordBatch;
}  // namespace arrow

namespace shredder::json_internal {

/// Appends the compact JSON text of `document` to `out`, exactly as
/// `JsonSerialization::FromDom` returns it, so a caller writing many documents can reuse
/// one buffer. Throws std::runtime_error "JSON emit failure: ..."; `out` then holds a
/// partial text.
void AppendJsonText(const Object& document, std::string& out);

/// The one-column batch (utf8 field "doc") holding the text of each document, built on
/// `pool`. Throws what the serialization throws, and std::runtime_error
/// "JsonTextCodec: " + status text when the Arrow builder fails.
std::shared_ptr<arrow::RecordBatch> BuildDocBatch(const Serialization& serialization,
                                                  const std::vector<Object>& documents,
                                                  arrow::MemoryPool* pool);

}  // namespace shredder::json_internal
