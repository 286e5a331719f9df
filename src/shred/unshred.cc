// Rebuilding documents from a table of atoms: the plans that read column names as paths,
// and the placement of every atom into its document. The row order, the readers of the two
// kinds of columns, the budgets and the rebuilt document each live in their own unit.

#include <algorithm>
#include <cstdint>
#include <exception>
#include <limits>
#include <memory>
#include <optional>
#include <stdexcept>
#include <string>
#include <string_view>
#include <unordered_map>
#include <unordered_set>
#include <utility>
#include <vector>

#include "codecs/json_internal.h"
#include "shred/cell_view.h"
#include "shred/column_readers.h"
#include "shred/path_names.h"
#include "shred/rebuilt_document.h"
#include "shred/row_order.h"
#include "shred/unshred_budget.h"
#include "shred/unshred_internal.h"
#include "shredder/atom_column.h"
#include "shredder/integer_literals.h"
#include "shredder/serialization.h"
#include "shredder/shredder.h"
#include "shredder/value.h"

namespace shredder {
namespace unshred_internal {
namespace {

constexpr std::uint64_t kNoIndexColumn = std::numeric_limits<std::uint64_t>::max();

// One segment of a placed column's path: the member key it names (and the key's rank in byte
// order among all keys) and, when the path up to and including it is an array path, the
// index column that numbers that array.
struct Step {
  std::string key;
  std::uint64_t index_column;
  // Numbers the whole path up to and including this step (keys and index columns): two steps
  // of the same number lead, in one row, to the same place.
  std::uint32_t prefix;
  std::uint32_t rank = 0;
};

// A path prefix while numbering them: the number of the prefix one step shorter (0 for
// none), and the step's index column and key.
struct PrefixKey {
  std::uint32_t parent;
  std::uint64_t index_column;
  std::string_view key;
  friend bool operator==(const PrefixKey&, const PrefixKey&) = default;
};

struct PrefixKeyHash {
  std::size_t operator()(const PrefixKey& k) const noexcept {
    const std::size_t h = std::hash<std::string_view>{}(k.key);
    return h ^ ((static_cast<std::size_t>(k.parent) * 0x9E3779B97F4A7C15u) +
                (k.index_column * 0xBF58476D1CE4E5B9u));
  }
};

// How one column's atoms are placed: its steps are `steps[first_step, end_step)`; a column
// that is never placed (index columns, "root", the empty name) has no steps. `repeatable`
// tells that placing an atom again, as the last placement of this column put it, may be
// skipped (see `BuildDocuments`).
struct ColumnPlan {
  std::string_view name;
  std::uint64_t column;
  std::size_t first_step;
  std::size_t end_step;
  bool repeatable;
};

// The last placement of a column: in which document, from which row, and the number of
// containers replaced in that document before it.
struct LastPlacement {
  std::uint64_t document = UINT64_MAX;
  std::uint64_t row = 0;
  std::uint64_t replacements = 0;
};

// "root___txn_id" when present: the member of the document itself. Otherwise the first
// column ending with "__txn_id".
std::uint64_t FindTransactionColumn(const std::vector<std::string>& headers) {
  for (std::size_t c = 0; c < headers.size(); ++c) {
    if (headers[c] == kRootTxnName) return c;
  }
  for (std::size_t c = 0; c < headers.size(); ++c) {
    if (std::string_view(headers[c]).ends_with(kTxnSuffix)) return c;
  }
  throw std::runtime_error("Shredder::Unshred: missing __txn_id column");
}

// The column that groups rows into documents: the document column of a layout, or else the
// transaction column.
std::uint64_t GroupingColumn(const std::vector<std::string>& headers,
                             const UnshredLayout* layout) {
  if (layout != nullptr) {
    for (std::size_t c = 0; c < layout->columns.size(); ++c) {
      if (layout->columns[c].document) return c;
    }
  }
  return FindTransactionColumn(headers);
}

// Rebuilds the documents of a table read through one `Reader` per column (see
// column_readers.h).
template <typename Reader>
class Unshredder {
 public:
  Unshredder(const std::vector<std::string>& headers, std::vector<Reader> readers,
             std::uint64_t rows, const UnshredLayout* layout = nullptr)
      : headers_(headers),
        layout_(layout != nullptr && !layout->columns.empty() ? layout : nullptr),
        txn_column_(GroupingColumn(headers, layout_)),
        readers_(std::move(readers)),
        rows_(rows) {
    if (layout_ != nullptr) {
      BuildKeyedPlans();
    } else {
      BuildPlans();
    }
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

  // The documents, in ascending order of their transaction atoms.
  std::vector<Object> Objects() {
    if (rows_ <= std::numeric_limits<std::uint32_t>::max()) return Objects<std::uint32_t>();
    return Objects<std::uint64_t>();
  }

  // The JSON text codec's batch of the documents.
  std::shared_ptr<arrow::RecordBatch> JsonBatch() {
    if (rows_ <= std::numeric_limits<std::uint32_t>::max()) return JsonBatch<std::uint32_t>();
    return JsonBatch<std::uint64_t>();
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
        readers_, SortPassColumns(index_refs_, txn_column_), txn_column_, holds_value_, rows_,
        groups_);
    // Null transaction atoms sort first.
    if (rows_ > 0 && readers_[txn_column_].get(order[0]).kind == Kind::Null) {
      throw std::runtime_error(layout_ != nullptr && layout_->columns[txn_column_].document
                                   ? "Shredder::Unshred: null __doc encountered"
                                   : "Shredder::Unshred: null __txn_id encountered");
    }
    std::vector<std::size_t> by_table_order(groups_.size());
    {
      std::vector<Row> first_rows(groups_.size());
      bool in_order = true;
      for (std::size_t g = 0; g < groups_.size(); ++g) {
        by_table_order[g] = g;
        first_rows[g] = *std::min_element(order.begin() + groups_[g].begin,
                                          order.begin() + groups_[g].end);
        in_order = in_order && (g == 0 || first_rows[g - 1] < first_rows[g]);
      }
      if (!in_order) {
        std::sort(by_table_order.begin(), by_table_order.end(),
                  [&](std::size_t a, std::size_t b) { return first_rows[a] < first_rows[b]; });
      }
    }
    try {
      BuildDocuments(order, by_table_order, sink);
    } catch (const std::exception&) {
      std::vector<std::size_t> sorted(groups_.size());
      for (std::size_t g = 0; g < sorted.size(); ++g) sorted[g] = g;
      restart();
      budget_.Reset();
      BuildDocuments(order, sorted, sink);
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
    std::optional<std::pair<std::size_t, std::string>> failure;
    Rebuild<Row>(
        [&](std::size_t g) {
          if (spans.size() < groups_.size()) spans.resize(groups_.size());
          const std::size_t begin = text.size();
          try {
            document_.AppendJson(text);
          } catch (const std::exception& error) {
            text.resize(begin);
            if (!failure || g < failure->first) failure.emplace(g, error.what());
          }
          spans[g] = {begin, text.size()};
        },
        [&] {
          std::string().swap(text);
          failure.reset();
        });
    spans.resize(groups_.size());
    if (failure) {
      // The documents before it are appended first, and may fail first.
      spans.resize(failure->first);
      (void)json_internal::TextBatch(text, spans);
      throw std::runtime_error(failure->second);
    }
    return json_internal::TextBatch(text, spans);
  }

  void BuildPlans() {
    const auto& headers = headers_;

    // A leaf at the deepest level of an accepted document is named by "root" plus one key per
    // level. A name of more segments would rebuild a document deeper than the later stages
    // accept (each segment may add an array and an object); it is refused before anything is
    // built.
    constexpr std::size_t kMaxSegments = kMaxNestingDepth + 1;
    for (const std::string& name : headers) {
      if (CountSegments(name, kMaxSegments) > kMaxSegments) {
        throw std::runtime_error("Shredder::Unshred: column name nested too deeply at " + name);
      }
    }

    std::unordered_map<std::string_view, std::uint64_t> base_paths;
    for (std::size_t c = 0; c < headers.size(); ++c) {
      const std::string_view name = headers[c];
      if (!name.ends_with(kIndexSuffix)) continue;
      const std::string_view base = name.substr(0, name.size() - kIndexSuffix.size());
      const auto depth = static_cast<std::int32_t>(
          CountSegments(base, std::numeric_limits<std::size_t>::max()));
      index_refs_.push_back(IndexColumnRef{base, c, depth});
      base_paths.try_emplace(base, c);  // the first index column of a path numbers it
    }

    plans_.reserve(headers.size());
    // Path prefixes by their parent's number, index column and key (a view into a header).
    std::unordered_map<PrefixKey, std::uint32_t, PrefixKeyHash> prefixes;
    std::vector<std::string_view> segments;
    std::string prefix;
    for (std::size_t c = 0; c < headers.size(); ++c) {
      const std::string_view name = headers[c];
      const std::size_t first_step = steps_.size();
      if (!name.ends_with(kIndexSuffix)) {
        segments.clear();
        ForEachSegment(name, [&](std::string_view s) {
          segments.push_back(s);
          return true;
        });
        // A name is read relative to the document whether or not it begins with "root".
        const std::size_t m = !segments.empty() && segments[0] == kRootSegment ? 1 : 0;
        prefix.assign(kRootSegment);
        std::uint32_t parent = 0;
        for (std::size_t i = m; i < segments.size(); ++i) {
          prefix.push_back('_');
          prefix.append(segments[i]);
          const auto it = base_paths.find(prefix);
          const std::uint64_t index = it == base_paths.end() ? kNoIndexColumn : it->second;
          parent = prefixes.try_emplace(PrefixKey{parent, index, segments[i]},
                                        static_cast<std::uint32_t>(prefixes.size() + 1))
                       .first->second;
          steps_.push_back(Step{std::string(segments[i]), index, parent});
        }
      }
      plans_.push_back(ColumnPlan{name, c, first_step, steps_.size(), false});
    }
    RankKeys();
    MarkRepeatablePlans();
  }

  // The plans of a table whose columns say which keys they hold: a column read by its name
  // takes the keys of its name's segments (less a leading "root"). An array path is matched
  // by its keys, never by the text of a name, so "a_b" and "a" with "b" stay apart.
  void BuildKeyedPlans() {
    const auto& headers = headers_;
    const std::vector<ColumnLayout>& layout = layout_->columns;
    constexpr std::size_t kMaxSegments = kMaxNestingDepth + 1;
    enum class Use : std::uint8_t { Place, Index, Never };
    std::vector<std::vector<std::string_view>> paths(headers.size());
    std::vector<Use> uses(headers.size(), Use::Place);
    for (std::size_t c = 0; c < headers.size(); ++c) {
      const ColumnLayout& column = layout[c];
      std::vector<std::string_view>& path = paths[c];
      if (column.document) {
        uses[c] = Use::Never;
      } else if (column.keyed) {
        for (const std::string& key : column.keys) path.push_back(key);
        if (column.role == ColumnRole::Index) uses[c] = Use::Index;
      } else {
        std::string_view name = headers[c];
        if (name.ends_with(kIndexSuffix)) {
          uses[c] = Use::Index;
          name.remove_suffix(kIndexSuffix.size());
        }
        if (CountSegments(name, kMaxSegments) <= kMaxSegments) {
          ForEachSegment(name, [&](std::string_view s) {
            path.push_back(s);
            return true;
          });
        } else {
          path.resize(kMaxSegments);  // refused below
        }
        if (!path.empty() && path.front() == kRootSegment) path.erase(path.begin());
      }
      if (path.size() + 1 > kMaxSegments) {
        throw std::runtime_error("Shredder::Unshred: column name nested too deeply at " +
                                 headers[c]);
      }
    }
    // Rescued members are placed under a key no column holds, and taken out once the document
    // is built.
    std::unordered_set<std::string_view> keys;
    for (const auto& path : paths) keys.insert(path.begin(), path.end());
    rest_marker_ = "\x01rest";
    while (keys.contains(rest_marker_)) rest_marker_.push_back('\x01');
    for (std::size_t c = 0; c < headers.size(); ++c) {
      if (layout[c].keyed && layout[c].role == ColumnRole::Rest && !paths[c].empty()) {
        paths[c].back() = rest_marker_;
        has_rests_ = true;
      }
    }

    std::unordered_map<std::string, std::uint64_t> base_paths;
    std::string code;
    for (std::size_t c = 0; c < headers.size(); ++c) {
      if (uses[c] != Use::Index) continue;
      code.clear();
      for (std::string_view key : paths[c]) AppendKeyCode(code, key);
      const std::string_view name = headers[c];
      const std::string_view base =
          name.ends_with(kIndexSuffix) ? name.substr(0, name.size() - kIndexSuffix.size()) : name;
      index_refs_.push_back(
          IndexColumnRef{base, c, static_cast<std::int32_t>(paths[c].size() + 1)});
      base_paths.try_emplace(code, c);  // the first index column of a path numbers it
    }

    plans_.reserve(headers.size());
    std::unordered_map<PrefixKey, std::uint32_t, PrefixKeyHash> prefixes;
    for (std::size_t c = 0; c < headers.size(); ++c) {
      const std::size_t first_step = steps_.size();
      if (uses[c] == Use::Place) {
        code.clear();
        std::uint32_t parent = 0;
        for (std::string_view key : paths[c]) {
          AppendKeyCode(code, key);
          const auto it = base_paths.find(code);
          const std::uint64_t index = it == base_paths.end() ? kNoIndexColumn : it->second;
          parent = prefixes.try_emplace(PrefixKey{parent, index, key},
                                        static_cast<std::uint32_t>(prefixes.size() + 1))
                       .first->second;
          steps_.push_back(Step{std::string(key), index, parent});
        }
      }
      plans_.push_back(ColumnPlan{headers[c], c, first_step, steps_.size(), false});
    }
    RankKeys();
    MarkRepeatablePlans();
    if (!layout_->stamps) SkipStampsInJson();
  }

  void SkipStampsInJson() {
    std::vector<bool> skipped;
    for (const Step& step : steps_) {
      if (step.key != "__txn_id" && step.key != "__obj_id") continue;
      if (skipped.size() <= step.rank) skipped.resize(step.rank + 1, false);
      skipped[step.rank] = true;
    }
    document_.SkipInJson(std::move(skipped));
  }

 public:
  // Whether the rebuilt documents need the finishing pass: rescued members to put back, or
  // stamps to drop from documents that are not written as JSON text (which leaves them out
  // as it writes).
  bool NeedsFinish(bool writes_json) const {
    return layout_ != nullptr && (has_rests_ || (!layout_->stamps && !writes_json));
  }

  // Puts back the rescued members of every object of `document` and drops the stamps when
  // asked: deepest objects first, so that what comes back rescued is left as it came in.
  // Returns the texts of the integers beyond the int64 range that the rescued members held.
  IntegerLiterals Finish(Object& document) const {
    static const JsonSerialization json;
    return FinishObject(document, json);
  }

 private:
  IntegerLiterals FinishObject(Object& object, const JsonSerialization& json) const {
    IntegerLiterals literals;
    for (auto& [key, member] : object) {
      if (auto* child = std::get_if<Object>(&member.data)) {
        IntegerLiterals inner = FinishObject(*child, json);
        if (!inner.empty()) literals.add_member(key) = std::move(inner);
      } else if (auto* array = std::get_if<Array>(&member.data)) {
        for (std::size_t i = 0; i < array->size(); ++i) {
          auto* child = std::get_if<Object>(&(*array)[i].data);
          if (child == nullptr) continue;
          IntegerLiterals inner = FinishObject(*child, json);
          if (!inner.empty()) literals.add_member(key).add_element(i) = std::move(inner);
        }
      }
    }
    constexpr std::string_view kStampKeys[] = {"__txn_id", "__obj_id"};
    if (!layout_->stamps) {
      for (std::string_view key : kStampKeys) {
        const auto it = object.find(std::string(key));
        if (it != object.end()) object.erase(it);
      }
    }
    if (!has_rests_) return literals;
    const auto marker = object.find(rest_marker_);
    if (marker == object.end()) return literals;
    const auto* text = std::get_if<std::string>(&marker->second.data);
    if (text == nullptr) {
      throw std::runtime_error("Shredder::Unshred: rescued members that are not JSON text");
    }
    Object rest;
    IntegerLiterals rest_literals;
    try {
      rest = json.ToDomWithLiterals(*text, &rest_literals);
    } catch (const std::exception& error) {
      throw std::runtime_error(std::string("Shredder::Unshred: unreadable rescued members: ") +
                               error.what());
    }
    object.erase(marker);
    for (auto& [key, value] : rest) {
      if (layout_->stamps && (key == kStampKeys[0] || key == kStampKeys[1])) continue;
      object.insert_or_assign(key, std::move(value));
      literals.set_member(key, rest_literals.member(key));
    }
    return literals;
  }

  // Numbers the distinct keys in byte order, the order of an object's members.
  void RankKeys() {
    std::vector<std::string_view> keys;
    keys.reserve(steps_.size());
    for (const Step& step : steps_) keys.push_back(step.key);
    std::sort(keys.begin(), keys.end());
    keys.erase(std::unique(keys.begin(), keys.end()), keys.end());
    for (Step& step : steps_) {
      step.rank = static_cast<std::uint32_t>(
          std::lower_bound(keys.begin(), keys.end(), std::string_view(step.key)) - keys.begin());
    }
    document_.SetKeys(std::move(keys));
  }

  // A plan is repeatable when no other plan reaches the same place (the same keys with the
  // same index columns, as "a" and "root_a" do) and all its atoms are read in place.
  void MarkRepeatablePlans() {
    // The number of the last step of a plan stands for its whole path.
    std::vector<std::uint32_t> places;
    for (const ColumnPlan& plan : plans_) {
      if (plan.first_step == plan.end_step) continue;
      const std::uint32_t place = steps_[plan.end_step - 1].prefix;
      if (places.size() <= place) places.resize(place + 1, 0);
      ++places[place];
    }
    for (ColumnPlan& plan : plans_) {
      if (plan.first_step == plan.end_step || places[steps_[plan.end_step - 1].prefix] != 1) {
        continue;
      }
      bool in_place = InPlace(plan.column);
      for (std::size_t i = plan.first_step; i < plan.end_step; ++i) {
        if (steps_[i].index_column != kNoIndexColumn) in_place &= InPlace(steps_[i].index_column);
      }
      plan.repeatable = in_place;
    }
  }

  bool InPlace(std::uint64_t column) const {
    const Reader& reader = readers_[column];
    return reader.in_place() && reader.size() >= rows_;
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

  // Builds the document of each group of rows, for the groups in `visit` order, and hands
  // each to `sink` with its group number while it is held in `document_`.
  template <typename Row, typename Sink>
  void BuildDocuments(const std::vector<Row>& order, const std::vector<std::size_t>& visit,
                      Sink& sink) {
    // Rows of one document mostly repeat the atoms of the rows before them outside of arrays.
    // Placing a column's atom again, at the place its last placement in the same document
    // used, changes nothing as long as no container has been replaced since: the path still
    // leads through the same containers, arrays only grow, and the place holds that atom or a
    // container, which a scalar never replaces. Such placements are skipped.
    std::vector<LastPlacement> last(plans_.size());
    cursor_row_ = UINT64_MAX;
    for (const std::size_t document : visit) {
      document_serial_ = document;
      replacements_ = 0;
      document_.Clear();
      for (std::size_t i = groups_[document].begin; i < groups_[document].end; ++i) {
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
      sink(document);
    }
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

  const std::vector<std::string>& headers_;
  const UnshredLayout* const layout_;  // null when every column is read by its name
  const std::uint64_t txn_column_;
  std::string rest_marker_;
  bool has_rests_ = false;
  std::vector<Reader> readers_;
  const std::uint64_t rows_;
  std::vector<IndexColumnRef> index_refs_;
  std::vector<Step> steps_;
  std::vector<ColumnPlan> plans_;
  std::vector<bool> holds_value_;
  UnshredBudget budget_;
  std::vector<RowGroup> groups_;
  RebuiltDocument document_;
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

std::vector<RawColumnReader> RawReaders(const std::vector<RawColumn>& columns,
                                        std::uint64_t rows) {
  std::vector<RawColumnReader> readers;
  readers.reserve(columns.size());
  for (const RawColumn& column : columns) readers.emplace_back(column, rows);
  return readers;
}

}  // namespace

std::vector<Object> Unshred(const std::vector<std::string>& headers,
                            const std::vector<RawColumn>& columns, std::uint64_t rows) {
  return Unshredder<RawColumnReader>(headers, RawReaders(columns, rows), rows).Objects();
}

std::shared_ptr<arrow::RecordBatch> UnshredToBatch(const DocumentCodec& codec,
                                                   const std::vector<std::string>& headers,
                                                   const std::vector<RawColumn>& columns,
                                                   std::uint64_t rows,
                                                   const UnshredLayout* layout) {
  Unshredder<RawColumnReader> unshredder(headers, RawReaders(columns, rows), rows, layout);
  const bool writes_json = json_internal::WritesCompactJson(codec);
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

}  // namespace unshred_internal

std::vector<Object> Shredder::Unshred(const ShredResult& table) const {
  if (table.headers.size() != table.columns.size()) {
    throw std::runtime_error("Shredder::Unshred: headers/columns size mismatch");
  }
  using unshred_internal::AtomColumnReader;
  const std::uint64_t rows = table.columns.empty() ? 0 : table.columns[0]->size();
  // Without columns there is no transaction column: the failure is raised before any read.
  if (table.columns.empty()) (void)unshred_internal::FindTransactionColumn(table.headers);
  std::vector<AtomColumnReader> readers;
  readers.reserve(table.columns.size());
  for (const auto& column : table.columns) readers.emplace_back(*column);
  return unshred_internal::Unshredder<AtomColumnReader>(table.headers, std::move(readers), rows)
      .Objects();
}

}  // namespace shredder
