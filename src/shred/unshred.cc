// The entry points of unshredding: a table of atom columns (`Shredder::Unshred`) and the
// buffers of an atoms batch, rebuilt as documents or straight into a codec's batch. The
// rebuilding itself is the `Unshredder` (unshredder.h).

#include <cstddef>
#include <cstdint>
#include <memory>
#include <stdexcept>
#include <string>
#include <utility>
#include <vector>

#include "shredder/json_text.h"
#include "shred/column_plans.h"
#include "shred/column_readers.h"
#include "shred/unshredder.h"
#include "shredder/atom_column.h"
#include "shredder/integer_literals.h"
#include "shredder/shredder.h"
#include "shredder/unshredding.h"
#include "shredder/value.h"

namespace shredder {
namespace unshredding {
namespace {

std::vector<RawColumnReader> RawReaders(const std::vector<RawColumn>& columns,
                                        std::uint64_t rows) {
  std::vector<RawColumnReader> readers;
  readers.reserve(columns.size());
  for (const RawColumn& column : columns) readers.emplace_back(column, rows);
  return readers;
}

}  // namespace

std::shared_ptr<arrow::RecordBatch> UnshredToBatch(const DocumentCodec& codec,
                                                   const std::vector<std::string>& headers,
                                                   const std::vector<RawColumn>& columns,
                                                   std::uint64_t rows,
                                                   const UnshredLayout* layout) {
  Unshredder<RawColumnReader> unshredder(headers, RawReaders(columns, rows), rows, layout);
  const bool writes_json = json_text::WritesCompactJson(codec);
  if (unshredder.NeedsFinish(writes_json)) {
    std::vector<Object> documents = unshredder.Objects();
    std::vector<IntegerLiterals> literals(documents.size());
    bool any = false;
    for (std::size_t i = 0; i < documents.size(); ++i) {
      literals[i] = unshredder.Finish(documents[i]);
      any = any || !literals[i].empty();
    }
    return any ? codec.FromDomWithLiterals(documents, literals) : codec.FromDom(documents);
  }
  if (writes_json) return unshredder.JsonBatch();
  return codec.FromDom(unshredder.Objects());
}

}  // namespace unshredding

std::vector<Object> Shredder::Unshred(const ShredResult& table) const {
  if (table.headers.size() != table.columns.size()) {
    throw std::runtime_error("Shredder::Unshred: headers/columns size mismatch");
  }
  using unshredding::AtomColumnReader;
  const std::uint64_t rows = table.columns.empty() ? 0 : table.columns[0]->size();
  // Without columns there is no transaction column: the failure is raised before any read.
  if (table.columns.empty()) (void)unshredding::FindTransactionColumn(table.headers);
  std::vector<AtomColumnReader> readers;
  readers.reserve(table.columns.size());
  for (const auto& column : table.columns) readers.emplace_back(*column);
  return unshredding::Unshredder<AtomColumnReader>(table.headers, std::move(readers), rows)
      .Objects();
}

}  // namespace shredder
