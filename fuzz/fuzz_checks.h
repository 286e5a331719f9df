#pragma once

// What every harness checks of the batches the system returns. A failed check is a finding.

#include <cstdint>
#include <cstdio>
#include <cstring>
#include <string_view>
#include <variant>

#include <nlohmann/json.hpp>

#include "arrow/array/array_binary.h"
#include "arrow/record_batch.h"
#include "arrow/type.h"
#include "fuzz_support.h"
#include "shredder/value.h"

namespace shredder::fuzz {

bool SameObject(const Object& a, const Object& b, bool widened = false);

/// Equality of documents in which a double equals itself bit for bit (NaN included). With
/// `widened`, an integer of `a` may also come back in `b` as the double of its value.
inline bool SameValue(const Value& a, const Value& b, bool widened = false) {
  if (widened) {
    const auto* x = std::get_if<std::int64_t>(&a.data);
    const auto* y = std::get_if<double>(&b.data);
    if (x != nullptr && y != nullptr) return static_cast<double>(*x) == *y;
  }
  if (a.data.index() != b.data.index()) return false;
  if (const auto* x = std::get_if<double>(&a.data)) {
    const double y = std::get<double>(b.data);
    return std::memcmp(x, &y, sizeof y) == 0;
  }
  if (const auto* x = std::get_if<Array>(&a.data)) {
    const Array& y = std::get<Array>(b.data);
    if (x->size() != y.size()) return false;
    for (std::size_t i = 0; i < x->size(); ++i) {
      if (!SameValue((*x)[i], y[i], widened)) return false;
    }
    return true;
  }
  if (const auto* x = std::get_if<Object>(&a.data)) {
    return SameObject(*x, std::get<Object>(b.data), widened);
  }
  return a == b;
}

inline bool SameObject(const Object& a, const Object& b, bool widened) {
  if (a.size() != b.size()) return false;
  for (auto x = a.begin(), y = b.begin(); x != a.end(); ++x, ++y) {
    if (x->first != y->first || !SameValue(x->second, y->second, widened)) return false;
  }
  return true;
}

/// Full validation, or (`full` false: the input held strings that are not UTF-8, which pass
/// through as bytes) validation of everything but the UTF-8 of strings.
inline void CheckValid(const arrow::RecordBatch& batch, bool full = true,
                       const char* what = "a returned batch") {
  const arrow::Status status = full ? batch.ValidateFull() : batch.Validate();
  if (!status.ok()) {
    std::fprintf(stderr, "%s: %s\n", what, status.ToString().c_str());
    Finding("a batch that is not valid Arrow data");
  }
}

/// The atoms batch: valid, nullable fields of the five atom types, names beginning with
/// "root", and a transaction column whenever there are rows.
inline void CheckAtomsBatch(const arrow::RecordBatch& atoms, bool full = true) {
  CheckValid(atoms, full);
  bool has_txn = false;
  for (const auto& field : atoms.schema()->fields()) {
    if (!field->nullable()) Finding("an atoms field is not nullable");
    switch (field->type()->id()) {
      case arrow::Type::NA:
      case arrow::Type::BOOL:
      case arrow::Type::INT64:
      case arrow::Type::DOUBLE:
      case arrow::Type::STRING:
        break;
      default:
        Finding("an atoms field has a type outside the atom types");
    }
    if (!std::string_view(field->name()).starts_with("root")) {
      Finding("an atoms column name does not begin with root");
    }
    if (std::string_view(field->name()).ends_with("__txn_id")) has_txn = true;
  }
  if (atoms.num_rows() > 0 && !has_txn) Finding("an atoms batch with rows has no __txn_id");
}

/// The JSON codec's output: one utf8 column of texts that are all valid JSON.
inline void CheckJsonDocuments(const arrow::RecordBatch& documents) {
  CheckValid(documents, /*full=*/true);
  if (documents.num_columns() != 1 || documents.column(0)->type_id() != arrow::Type::STRING) {
    Finding("the JSON codec returned something other than one utf8 column");
  }
  const auto& texts = static_cast<const arrow::StringArray&>(*documents.column(0));
  for (std::int64_t i = 0; i < texts.length(); ++i) {
    if (texts.IsNull(i) || !nlohmann::json::accept(texts.GetView(i))) {
      Finding("the JSON codec wrote text that is not JSON");
    }
  }
}

}  // namespace shredder::fuzz
