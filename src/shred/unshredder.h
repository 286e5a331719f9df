#pragma once

// The rebuilding of documents from a table of atoms, for either kind of column reader: the
// order of the rows, the documents handed on in document order, and their finishing pass.

#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <exception>
#include <limits>
#include <memory>
#include <optional>
#include <stdexcept>
#include <string>
#include <utility>
#include <vector>

#include "shred/column_plans.h"
#include "shred/document_placement.h"
#include "shred/rebuilt_document.h"
#include "shred/rescued_members.h"
#include "shred/row_order.h"
#include "shred/unshred_budget.h"
#include "shredder/error.h"
#include "shredder/integer_literals.h"
#include "shredder/json_text.h"
#include "shredder/unshredding.h"
#include "shredder/value.h"

namespace shredder::unshredding {

// Rebuilds the documents of a table read through one `Reader` per column (see
// column_readers.h): groups its rows into documents, places their atoms and hands each
// document on, as an `Object` or as JSON text.
template <typename Reader>
class Unshredder {
 public:
  Unshredder(const std::vector<std::string>& headers, std::vector<Reader> readers,
             std::uint64_t rows, const UnshredLayout* layout = nullptr)
      : layout_(layout != nullptr && !layout->columns.empty() ? layout : nullptr),
        txn_column_(GroupingColumn(headers, layout_)),
        readers_(std::move(readers)),
        rows_(rows),
        plans_(headers, layout_),
        placement_(readers_, plans_, document_, budget_) {
    document_.SetKeys(plans_.keys());
    std::vector<bool> in_place(headers.size());
    for (std::size_t c = 0; c < headers.size(); ++c) in_place[c] = InPlace(c);
    plans_.MarkRepeatablePlans(in_place);
    if (layout_ != nullptr && !layout_->stamps) SkipStampsInJson();
    std::uint64_t valued_columns = 0;
    std::uint64_t name_bytes = 0;
    holds_value_.reserve(headers.size());
    for (std::size_t c = 0; c < headers.size(); ++c) {
      holds_value_.push_back(readers_[c].HoldsValue(rows));
      if (holds_value_.back()) ++valued_columns;
      name_bytes += headers[c].size();
    }
    budget_.Set(rows, valued_columns, name_bytes);
  }

  // Sets refusals aside instead of failing (`Controller::unshred` with refusals): a document
  // that cannot be rebuilt is left out, and its error kept with the table row of its first
  // atom, which names it to the caller.
  void SkipRefused() { skipping_ = true; }
  bool skipping() const { return skipping_; }

  // Whether document g (in document order) was refused.
  bool Refused(std::size_t g) const { return g < refused_.size() && refused_[g]; }

  // Refuses document g for `error` when refusals are set aside; returns whether they are.
  bool Refuse(std::size_t g, const Error& error) {
    if (!skipping_) return false;
    if (refused_.size() < groups_.size()) refused_.resize(groups_.size());
    refused_[g] = true;
    refusals_.emplace_back(g, error);
    refusals_.back().second.set_row(static_cast<std::int64_t>(first_rows_[g]));
    return true;
  }

  // The refused documents' errors, in document order.
  std::vector<Error> Refusals() {
    std::stable_sort(refusals_.begin(), refusals_.end(),
                     [](const auto& a, const auto& b) { return a.first < b.first; });
    std::vector<Error> errors;
    for (auto& refusal : refusals_) errors.push_back(std::move(refusal.second));
    return errors;
  }

  // The documents, in ascending order of their transaction atoms (a refused one left empty).
  std::vector<Object> Objects() {
    if (rows_ <= std::numeric_limits<std::uint32_t>::max()) return Objects<std::uint32_t>();
    return Objects<std::uint64_t>();
  }

  // The JSON text codec's batch of the documents.
  std::shared_ptr<arrow::RecordBatch> JsonBatch() {
    if (rows_ <= std::numeric_limits<std::uint32_t>::max()) return JsonBatch<std::uint32_t>();
    return JsonBatch<std::uint64_t>();
  }

  // Whether the rebuilt documents need the finishing pass: rescued members to put back, or
  // stamps to drop from documents that are not written as JSON text (which leaves them out
  // as it writes).
  bool NeedsFinish(bool writes_json) const {
    return layout_ != nullptr && (plans_.has_rests() || (!layout_->stamps && !writes_json));
  }

  // The finishing pass over one rebuilt document (see rescued_members.h); returns the texts
  // of the integers beyond the int64 range that its rescued members held.
  IntegerLiterals Finish(Object& document) const {
    return unshredding::Finish(
        document,
        RescueOptions{layout_->stamps, plans_.has_rests() ? &plans_.rest_marker() : nullptr});
  }

 private:
  // One document per group of rows of equal transaction atoms, built from its rows in
  // sorted order.
  //
  // Sorted by transaction, the rows of the table come in no useful order in memory, so the
  // documents are built in the order of their first rows in the table instead, each handed
  // to `sink` with its place in document order. Documents do not depend on one another and
  // the budgets count totals, so this gives the same documents, and fails exactly when the
  // sorted order would; should it fail, the documents are built again in sorted order so
  // that the failure is the one that order meets first (`restart` is called before).
  template <typename Row, typename Sink, typename Restart>
  void Rebuild(Sink&& sink, Restart&& restart) {
    const std::vector<Row> order = OrderRows<Row>(
        readers_, SortPassColumns(plans_.index_refs(), txn_column_), txn_column_, holds_value_,
        rows_, groups_);
    if (skipping_) {
      first_rows_.clear();
      for (const RowGroup& group : groups_) first_rows_.push_back(order[group.begin]);
    }
    // Null transaction atoms sort first.
    if (rows_ > 0 && readers_[txn_column_].get(order[0]).kind == Kind::Null) {
      const Error null_id(ErrorCode::BadAtoms,
                          layout_ != nullptr && layout_->columns[txn_column_].document
                              ? "Shredder::Unshred: null __doc encountered"
                              : "Shredder::Unshred: null __txn_id encountered");
      if (!Refuse(0, null_id)) throw null_id;
    }
    auto refuse = [this](std::size_t g, const Error& error) { return Refuse(g, error); };
    std::vector<std::size_t> by_table_order = GroupsInTableOrder(order, groups_);
    std::erase_if(by_table_order, [this](std::size_t g) { return Refused(g); });
    try {
      placement_.BuildDocuments(order, groups_, by_table_order, sink, refuse);
    } catch (const std::exception&) {
      std::vector<std::size_t> sorted;
      for (std::size_t g = 0; g < groups_.size(); ++g) {
        if (!Refused(g)) sorted.push_back(g);
      }
      restart();
      budget_.Reset();
      placement_.BuildDocuments(order, groups_, sorted, sink, refuse);
    }
  }

  template <typename Row>
  std::vector<Object> Objects() {
    std::vector<Object> documents;
    Rebuild<Row>(
        [&](std::size_t g) {
          if (documents.size() < groups_.size()) documents.resize(groups_.size());
          documents[g] = document_.ToObject();
        },
        [&] { std::vector<Object>().swap(documents); });
    documents.resize(groups_.size());
    return documents;
  }

  template <typename Row>
  std::shared_ptr<arrow::RecordBatch> JsonBatch() {
    std::string text;
    std::vector<std::pair<std::size_t, std::size_t>> spans;
    // The first document, in document order, whose text cannot be written, and why: the
    // codec would fail there, once every document is built.
    std::optional<std::pair<std::size_t, Error>> failure;
    Rebuild<Row>(
        [&](std::size_t g) {
          if (spans.size() < groups_.size()) spans.resize(groups_.size());
          const std::size_t begin = text.size();
          try {
            document_.AppendJson(text);
          } catch (const std::exception& error) {
            text.resize(begin);
            const auto* known = dynamic_cast<const Error*>(&error);
            if (known != nullptr && Refuse(g, *known)) return;
            if (!failure || g < failure->first) {
              failure.emplace(g, known != nullptr ? *known
                                                  : Error(ErrorCode::BadAtoms, error.what()));
            }
          }
          spans[g] = {begin, text.size()};
        },
        [&] {
          std::string().swap(text);
          failure.reset();
        });
    spans.resize(groups_.size());
    if (!refused_.empty()) {
      std::size_t kept = 0;
      for (std::size_t g = 0; g < spans.size(); ++g) {
        if (!Refused(g)) spans[kept++] = spans[g];
      }
      spans.resize(kept);
    }
    if (failure) {
      // The documents before it are appended first, and may fail first.
      spans.resize(failure->first);
      (void)json_text::TextBatch(text, spans);
      throw failure->second;
    }
    return json_text::TextBatch(text, spans);
  }

  void SkipStampsInJson() { document_.SkipInJson(plans_.StampRanks()); }

  bool InPlace(std::uint64_t column) const {
    const Reader& reader = readers_[column];
    return reader.in_place() && reader.size() >= rows_;
  }

  const UnshredLayout* const layout_;  // null when every column is read by its name
  const std::uint64_t txn_column_;
  std::vector<Reader> readers_;
  const std::uint64_t rows_;
  ColumnPlans plans_;
  std::vector<bool> holds_value_;
  UnshredBudget budget_;
  std::vector<RowGroup> groups_;
  RebuiltDocument document_;
  DocumentPlacement<Reader> placement_;
  bool skipping_ = false;
  std::vector<std::uint64_t> first_rows_;  // by document, when skipping
  std::vector<bool> refused_;              // by document
  std::vector<std::pair<std::size_t, Error>> refusals_;
};

}  // namespace shredder::unshredding
