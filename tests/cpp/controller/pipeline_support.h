#pragma once

// A Controller assembled the way the extension module assembles it (JSON text codec,
// Normalizer then Tagger, the boxing policy), with helpers to feed it JSON lines and to read
// its batches.

#include <memory>
#include <string>
#include <utility>
#include <vector>

#include "arrow/array/array_binary.h"
#include "arrow/array/builder_binary.h"
#include "arrow/record_batch.h"
#include "arrow/type.h"
#include "controller/atoms_reader.h"
#include "controller/vector_column.h"
#include "shredder/coerce_policy.h"
#include "shredder/controller.h"
#include "shredder/json_text_codec.h"
#include "shredder/normalizer.h"
#include "shredder/serialization.h"
#include "shredder/tagger.h"
#include "test_support.h"

namespace shredder::testing {

/// One column "doc" of utf8 JSON text, one document per line.
inline std::shared_ptr<arrow::RecordBatch> JsonBatch(const std::vector<std::string>& lines) {
  arrow::StringBuilder builder;
  for (const std::string& line : lines) {
    if (!builder.Append(line).ok()) throw std::runtime_error("append");
  }
  std::shared_ptr<arrow::Array> array;
  if (!builder.Finish(&array).ok()) throw std::runtime_error("finish");
  return arrow::RecordBatch::Make(arrow::schema({arrow::field("doc", arrow::utf8())}),
                                  array->length(), {array});
}

struct ModulePipeline {
  Normalizer normalizer;
  Tagger tagger;
  Controller controller;

  /// With the shipped policy, the Controller told of it and of the Tagger as the module
  /// tells it.
  explicit ModulePipeline(bool tag = true)
      : ModulePipeline(BoxToStringPolicy(), tag, /*box_to_string=*/true) {}
  /// With another policy, which the Controller is told nothing of.
  explicit ModulePipeline(CoercePolicy policy, bool tag = true)
      : ModulePipeline(std::move(policy), tag, /*box_to_string=*/false) {}

  std::shared_ptr<arrow::RecordBatch> Shred(const std::vector<std::string>& lines) {
    return controller.shred(JsonBatch(lines));
  }

 private:
  ModulePipeline(CoercePolicy policy, bool tag, bool box_to_string)
      : controller(std::make_unique<JsonTextCodec>(MakeSerialization(SerializationFormat::Json)),
                   tag ? std::vector<std::reference_wrapper<DomModifier>>{normalizer, tagger}
                       : std::vector<std::reference_wrapper<DomModifier>>{normalizer},
                   std::move(policy),
                   Controller::KnownParts{tag ? &tagger : nullptr, box_to_string}) {}
};

inline Object Parse(const std::string& text) { return JsonSerialization().ToDom(text); }

inline std::vector<std::string> FieldNames(const arrow::RecordBatch& batch) {
  std::vector<std::string> names;
  for (const auto& field : batch.schema()->fields()) names.push_back(field->name());
  return names;
}

inline std::vector<Atom> ColumnAtoms(const arrow::RecordBatch& batch, const std::string& name) {
  const auto column = batch.GetColumnByName(name);
  if (!column) throw std::runtime_error("no column " + name);
  return ReadAtomColumn(*column, column->length());
}

/// The documents of a batch of JSON text (the output of unshred).
inline std::vector<Object> Documents(const arrow::RecordBatch& batch) {
  const auto& text = static_cast<const arrow::StringArray&>(*batch.column(0));
  std::vector<Object> documents;
  for (std::int64_t i = 0; i < text.length(); ++i) {
    documents.push_back(Parse(std::string(text.GetView(i))));
  }
  return documents;
}

}  // namespace shredder::testing
