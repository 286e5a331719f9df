#pragma once

#include <cstddef>
#include <exception>
#include <memory>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "shredder/error.h"
#include "shredder/json_writer.h"
#include "shredder/document_codec.h"
#include "shredder/serialization.h"
#include "shredder/value.h"

namespace arrow {
class MemoryPool;
class RecordBatch;
}  // namespace arrow

namespace shredder::json_text {

/// Appends the compact JSON text of `document` to `out`, exactly as
/// `JsonSerialization::FromDom` returns it, so a caller writing many documents can reuse
/// one buffer. Throws `Error` "JSON emit failure: ..."; `out` then holds a
/// partial text.
void AppendJsonText(const Object& document, std::string& out);

/// `AppendJsonText`, writing at each place `literals` names the integer of that text (see
/// `json_writer::LiteralNode`).
void AppendJsonText(const Object& document, const IntegerLiterals& literals, std::string& out);

/// Throws `Error` "JSON emit failure: " followed by the text of `error`.
[[noreturn]] void ThrowEmitFailure(const std::exception& error);

/// Appends the compact JSON text of an object node of any tree the writer reads (see
/// `json_writer::ValueNode`), as `AppendJsonText` does for an `Object`.
template <typename Node>
void AppendJsonMembers(const Node& object, std::string& out) {
  try {
    json_writer::Writer<json_writer::Dialect::Json>(out).WriteMembers(object);
  } catch (const std::exception& error) {
    ThrowEmitFailure(error);
  }
}

/// True when `codec` writes documents as `AppendJsonText` does (the JSON text codec with the
/// JSON serialization), so that a caller may hand it texts instead of documents.
bool WritesCompactJson(const DocumentCodec& codec);

/// The batch `BuildDocBatch` makes of documents whose texts are `text[spans[i])`, in order.
std::shared_ptr<arrow::RecordBatch> TextBatch(
    std::string_view text, const std::vector<std::pair<std::size_t, std::size_t>>& spans);

/// The one-column batch (utf8 field "doc") holding the text of each document, built on
/// `pool`; with `literals` (one per document, JSON serialization only), their integers' texts
/// are written. Throws what the serialization throws, and `Error`
/// "JsonTextCodec: " + status text when the Arrow builder fails.
std::shared_ptr<arrow::RecordBatch> BuildDocBatch(const Serialization& serialization,
                                                  const std::vector<Object>& documents,
                                                  arrow::MemoryPool* pool,
                                                  const std::vector<IntegerLiterals>* literals =
                                                      nullptr);

}  // namespace shredder::json_text
