#pragma once

// The placement of every atom of a table into its document: for each row of a document, each
// column's atom goes where its plan's steps and the row's index atoms lead, creating the
// objects and arrays on the way.

#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <vector>

#include "shred/column_plans.h"
#include "shred/rebuilt_document.h"
#include "shred/row_order.h"
#include "shred/unshred_budget.h"
#include "shred/unshred_cells.h"
#include "shredder/error.h"
#include "shredder/value.h"

namespace shredder::unshredding {

// The last placement of a column: in which document, from which row, and the number of
// containers replaced in that document before it.
struct LastPlacement {
  std::uint64_t document = UINT64_MAX;
  std::uint64_t row = 0;
  std::uint64_t replacements = 0;
};

// Places the atoms read through one `Reader` per column (see column_readers.h) into
// `document`, counting what it builds in `budget`. Holds references to all four.
template <typename Reader>
class DocumentPlacement {
 public:
  DocumentPlacement(std::vector<Reader>& readers, const ColumnPlans& plans,
                    RebuiltDocument& document, UnshredBudget& budget)
      : readers_(readers),
        steps_(plans.steps()),
        plans_(plans.plans()),
        document_(document),
        budget_(budget) {}

  // Builds the document of each group of rows (`groups`, ranges of `order`), for the groups
  // in `visit` order, and hands each to `sink` with its group number while it is held in
  // the document. A document that fails is handed to `refuse` with its error instead, which
  // returns whether to go on without it (otherwise the error is thrown).
  template <typename Row, typename Sink, typename Refuse>
  void BuildDocuments(const std::vector<Row>& order, const std::vector<RowGroup>& groups,
                      const std::vector<std::size_t>& visit, Sink& sink, Refuse& refuse) {
    // Rows of one document mostly repeat the atoms of the rows before them outside of arrays.
    // Placing a column's atom again, at the place its last placement in the same document
    // used, changes nothing as long as no container has been replaced since: the path still
    // leads through the same containers, arrays only grow, and the place holds that atom or a
    // container, which a scalar never replaces. Such placements are skipped.
    std::vector<LastPlacement> last(plans_.size());
    cursor_row_ = UINT64_MAX;
    for (const std::size_t document : visit) {
      try {
        Build(order, groups[document], document, last);
        sink(document);
      } catch (const Error& error) {
        if (!refuse(document, error)) throw;
      }
    }
  }

 private:
  template <typename Row>
  void Build(const std::vector<Row>& order, const RowGroup& group, std::size_t document,
             std::vector<LastPlacement>& last) {
    document_serial_ = document;
    replacements_ = 0;
    document_.Clear();
    for (std::size_t i = group.begin; i < group.end; ++i) {
      const Row row = order[i];
      for (std::size_t p = 0; p < plans_.size(); ++p) {
        const ColumnPlan& plan = plans_[p];
        Reader& reader = readers_[plan.column];
        if (plan.first_step == plan.end_step) {
          reader.touch(row);
          continue;
        }
        if (reader.KnownNull(row)) continue;
        const CellView cell = reader.get(row);
        if (cell.kind == Kind::Null) continue;
        if (plan.repeatable) {
          LastPlacement& previous = last[p];
          if (previous.document == document && previous.replacements == replacements_ &&
              SameAtoms(plan, cell, row, previous.row)) {
            continue;
          }
          previous = LastPlacement{document, row, replacements_};
        }
        Place(plan, row, cell, reader.stable(row));
      }
    }
  }

  // Whether the atoms that place a column at `row` (its own, `cell`, and the index atoms of
  // its path) are those of `earlier`.
  bool SameAtoms(const ColumnPlan& plan, const CellView& cell, std::uint64_t row,
                 std::uint64_t earlier) {
    if (!IdenticalCells(cell, readers_[plan.column].get(earlier))) return false;
    for (std::size_t i = plan.first_step; i < plan.end_step; ++i) {
      const std::uint64_t index = steps_[i].index_column;
      if (index == kNoIndexColumn) continue;
      Reader& reader = readers_[index];
      if (!IdenticalCells(reader.get(row), reader.get(earlier))) return false;
    }
    return true;
  }

  // Puts `cell` at the place its column's path and this row's index atoms describe, creating
  // the objects and arrays on the way. A scalar never replaces an object or an array.
  //
  // Consecutive placements in a row mostly share the first steps of their paths (the members
  // of one object). The containers the last placement passed through are kept, and a
  // placement whose path begins with the same steps starts from the deepest shared one:
  // walking those steps again would only find what is already there, as long as nothing
  // was replaced since. (Nodes keep their numbers when arrays grow.)
  void Place(const ColumnPlan& plan, std::uint64_t row, const CellView& cell, bool stable) {
    const Step* const first = &steps_[plan.first_step];
    const std::size_t count = plan.end_step - plan.first_step;
    if (cursor_.size() < count) cursor_.resize(count);
    std::size_t depth = 0;
    NodeId container = document_.root();
    if (cursor_row_ == row && cursor_document_ == document_serial_ &&
        cursor_replacements_ == replacements_) {
      depth = std::min(cursor_depth_, count - 1);
      while (depth > 0 && cursor_[depth - 1].prefix != first[depth - 1].prefix) --depth;
      if (depth > 0) container = cursor_[depth - 1].container;
    }
    PlaceFrom(container, depth, first, count, plan, row, cell, stable);
    cursor_row_ = row;
    cursor_document_ = document_serial_;
    cursor_replacements_ = replacements_;
  }

  // Walks the steps of a placement from `depth` on, recording in the cursor the container
  // each step leads to.
  void PlaceFrom(NodeId container, std::size_t depth, const Step* first, std::size_t count,
                 const ColumnPlan& plan, std::uint64_t row, const CellView& cell, bool stable) {
    for (;; ++depth) {
      cursor_depth_ = depth;
      const Step* step = first + depth;
      const bool is_last = depth + 1 == count;
      if (step->index_column != kNoIndexColumn) {
        const CellView index_cell = readers_[step->index_column].get(row);
        // A null index reads the path as an object path; any other non-index stops the atom.
        if (index_cell.kind != Kind::Null) {
          if (index_cell.kind != Kind::Int64 || index_cell.integer() < 0) return;
          const auto index = static_cast<std::uint64_t>(index_cell.integer());
          const NodeId member = MemberOf(container, *step);
          if (document_.kind(member) != Kind::Array) Replace(member, Kind::Array);
          std::vector<NodeId>& elements = document_.elements(member);
          if (elements.size() <= index) {
            budget_.TakeSlots(index + 1 - elements.size(), plan.name);
            elements.resize(index + 1, kNoNode);
          }
          NodeId element = elements[index];
          if (is_last) {
            if (document_.IsContainer(element)) return;
            if (element == kNoNode) {
              element = document_.NewNode();
              document_.elements(member)[index] = element;
            }
            document_.Assign(element, cell, stable);
            return;
          }
          if (element == kNoNode) {
            element = document_.NewNode();
            document_.elements(member)[index] = element;
          }
          if (document_.kind(element) != Kind::Object) Replace(element, Kind::Object);
          container = element;
          cursor_[depth] = CursorStep{step->prefix, container};
          continue;
        }
      }
      const NodeId member = MemberOf(container, *step);
      if (is_last) {
        if (!document_.IsContainer(member)) document_.Assign(member, cell, stable);
        return;
      }
      if (document_.kind(member) != Kind::Object) Replace(member, Kind::Object);
      container = member;
      cursor_[depth] = CursorStep{step->prefix, container};
    }
  }

  // Makes `node` an empty container, counting it when something other than a null (a
  // filler or a member just created) is replaced.
  void Replace(NodeId node, Kind kind) {
    if (document_.kind(node) != Kind::Null) ++replacements_;
    document_.MakeContainer(node, kind);
  }

  // The member of `object` that `step` names, created (and counted) when absent.
  NodeId MemberOf(NodeId object, const Step& step) {
    std::vector<RebuiltDocument::Member>& members = document_.members(object);
    auto it = members.end();
    if (!members.empty() && members.back().rank >= step.rank) {
      it = std::lower_bound(members.begin(), members.end(), step.rank,
                            [](const RebuiltDocument::Member& m, std::uint32_t rank) {
                              return m.rank < rank;
                            });
      if (it != members.end() && it->rank == step.rank) return it->node;
    }
    budget_.TakeMember(step.key.size());
    const std::ptrdiff_t at = it - members.begin();
    const NodeId node = document_.NewNode();
    // The node list grew; the member lists did not move.
    members.insert(members.begin() + at, RebuiltDocument::Member{step.rank, node});
    return node;
  }

  std::vector<Reader>& readers_;
  const std::vector<Step>& steps_;
  const std::vector<ColumnPlan>& plans_;
  RebuiltDocument& document_;
  UnshredBudget& budget_;
  std::uint64_t replacements_ = 0;  // containers made over other values in the open document
  std::uint64_t document_serial_ = 0;
  // The last placement: in which row of which document, the replacements before its end,
  // how many of its steps it walked, and the container each step led to.
  struct CursorStep {
    std::uint32_t prefix;
    NodeId container;
  };
  std::vector<CursorStep> cursor_;
  std::size_t cursor_depth_ = 0;
  std::uint64_t cursor_row_ = UINT64_MAX;
  std::uint64_t cursor_document_ = UINT64_MAX;
  std::uint64_t cursor_replacements_ = 0;
};

}  // namespace shredder::unshredding
