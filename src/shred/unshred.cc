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

#include "shred/column_plans.h"
#include "shred/column_readers.h"
#include "shred/unshredder.h"
#include "shredder/atom_column.h"
#include "shredder/error.h"
#include "shredder/integer_literals.h"
#include "shredder/json_text.h"
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

namespace {

// The codec's batch of the documents not refused. When refusals are set aside, a document
// the codec cannot take beside the others (it names it by the error's row) is refused and
// the rest are written again.
template <typename Reader>
std::shared_ptr<arrow::RecordBatch> WriteKept(const DocumentCodec& codec,
                                              Unshredder<Reader>& unshredder,
                                              std::vector<Object> documents,
                                              std::vector<IntegerLiterals> literals) {
  std::vector<std::size_t> kept;  // the document number of each one handed to the codec
  std::size_t count = 0;
  for (std::size_t g = 0; g < documents.size(); ++g) {
    if (unshredder.Refused(g)) continue;
    kept.push_back(g);
    if (count != g) {
      documents[count] = std::move(documents[g]);
      if (!literals.empty()) literals[count] = std::move(literals[g]);
    }
    ++count;
  }
  documents.resize(count);
  if (!literals.empty()) literals.resize(count);
  for (;;) {
    try {
      return literals.empty() ? codec.FromDom(documents)
                              : codec.FromDomWithLiterals(documents, literals);
    } catch (Error& error) {
      const std::optional<std::int64_t> at = error.row();
      if (!unshredder.skipping() || !at || *at < 0 ||
          static_cast<std::size_t>(*at) >= documents.size()) {
        throw;
      }
      const std::size_t i = static_cast<std::size_t>(*at);
      unshredder.Refuse(kept[i], error);
      kept.erase(kept.begin() + static_cast<std::ptrdiff_t>(i));
      documents.erase(documents.begin() + static_cast<std::ptrdiff_t>(i));
      if (!literals.empty()) literals.erase(literals.begin() + static_cast<std::ptrdiff_t>(i));
    }
  }
}

}  // namespace

std::shared_ptr<arrow::RecordBatch> UnshredToBatch(const DocumentCodec& codec,
                                                   const std::vector<std::string>& headers,
                                                   const std::vector<RawColumn>& columns,
                                                   std::uint64_t rows,
                                                   const UnshredLayout* layout,
                                                   std::vector<Error>* refused) {
  Unshredder<RawColumnReader> unshredder(headers, RawReaders(columns, rows), rows, layout);
  if (refused != nullptr) unshredder.SkipRefused();
  const bool writes_json = json_text::WritesCompactJson(codec);
  std::shared_ptr<arrow::RecordBatch> batch;
  if (unshredder.NeedsFinish(writes_json)) {
    std::vector<Object> documents = unshredder.Objects();
    std::vector<IntegerLiterals> literals(documents.size());
    bool any = false;
    for (std::size_t i = 0; i < documents.size(); ++i) {
      if (unshredder.Refused(i)) continue;
      try {
        literals[i] = unshredder.Finish(documents[i]);
      } catch (const Error& error) {
        if (!unshredder.Refuse(i, error)) throw;
      }
      any = any || !literals[i].empty();
    }
    if (!any) literals.clear();
    batch = WriteKept(codec, unshredder, std::move(documents), std::move(literals));
  } else if (writes_json) {
    batch = unshredder.JsonBatch();
  } else {
    batch = WriteKept(codec, unshredder, unshredder.Objects(), {});
  }
  if (refused != nullptr) *refused = unshredder.Refusals();
  return batch;
}

}  // namespace unshredding

std::vector<Object> Shredder::Unshred(const ShredResult& table) const {
  if (table.headers.size() != table.columns.size()) {
    throw Error(ErrorCode::BadArgument, "Shredder::Unshred: headers/columns size mismatch");
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
