#include <algorithm>
#include <bit>
#include <cmath>
#include <cstdint>
#include <cstring>
#include <exception>
#include <limits>
#include <memory>
#include <span>
#include <stdexcept>
#include <string>
#include <string_view>
#include <unordered_map>
#include <utility>
#include <variant>
#include <vector>

#include "shred/unshred_internal.h"
#include "shredder/atom_column.h"
#include "shredder/shredder.h"
#include "shredder/value.h"

namespace shredder {
namespace {

constexpr std::string_view kIndexSuffix = "__idx";
constexpr std::string_view kTxnSuffix = "__txn_id";
constexpr std::string_view kRootTxnName = "root___txn_id";
constexpr std::string_view kRootSegment = "root";
// Array slots that a call may create beyond one per input cell.
constexpr std::uint64_t kSlotAllowance = std::uint64_t{1} << 20;
// Members a call may create, counted in estimated bytes (a map node and its value, plus the
// key): an allowance, kMemberBytesPerCell per input cell and the bytes of the column names.
// Documents repeat their columns' paths, so a few long names over many rows, or deep names
// over many documents, would otherwise rebuild far more than the table holds.
constexpr std::uint64_t kMemberAllowance = std::uint64_t{1} << 28;
constexpr std::uint64_t kMemberBytesPerCell = 512;
constexpr std::uint64_t kMemberNodeBytes = 128;
constexpr std::uint64_t kNoIndexColumn = std::numeric_limits<std::uint64_t>::max();

// Calls `emit` with every segment of `name` under the splitting rule of `split_path`, in order,
// until `emit` returns false. Every segment is a substring of the name: a run of k underscores
// ends the segment before it and the next one starts after the run's first underscore, so it
// keeps the k - 1 others; a run of three or more keeps the rest of the name whole. Returns
// false when `emit` stopped the walk.
template <typename Emit>
bool ForEachSegment(std::string_view name, Emit&& emit) {
  const std::size_t n = name.size();
  bool first = true;
  // The list never starts with an empty segment (a name that begins with "_", or is empty).
  auto push = [&](std::size_t from, std::size_t to) {
    const bool drop = first && from == to;
    first = false;
    return drop || emit(name.substr(from, to - from));
  };
  std::size_t start = 0;
  std::size_t search = 0;
  while (true) {
    const std::size_t run = name.find('_', search);
    if (run == std::string_view::npos) return push(start, n);
    std::size_t run_end = name.find_first_not_of('_', run);
    if (run_end == std::string_view::npos) run_end = n;
    if (!push(start, run)) return false;
    start = run + 1;
    if (run_end - run >= 3) return push(start, n);
    search = run_end;
  }
}

// Number of segments of `name`, counting stops once it exceeds `limit`.
std::size_t CountSegments(std::string_view name, std::size_t limit) {
  std::size_t count = 0;
  ForEachSegment(name, [&](std::string_view) { return ++count <= limit; });
  return count;
}

// A cell read where it lies: its atom alternative (0 null, 1 bool, 2 int64, 3 double,
// 4 string) and payload, a string's bytes viewed in the atom or column buffer holding them.
struct CellView {
  std::uint8_t kind = 0;
  std::uint64_t bits = 0;  // the bool, the integer or the double's bits
  std::string_view text;

  bool boolean() const { return bits != 0; }
  std::int64_t integer() const { return static_cast<std::int64_t>(bits); }
  double real() const { return std::bit_cast<double>(bits); }
};

CellView ViewOf(const Atom& atom) {
  switch (atom.index()) {
    case 1: return CellView{1, *std::get_if<bool>(&atom) ? 1u : 0u, {}};
    case 2: return CellView{2, static_cast<std::uint64_t>(*std::get_if<std::int64_t>(&atom)), {}};
    case 3: return CellView{3, std::bit_cast<std::uint64_t>(*std::get_if<double>(&atom)), {}};
    case 4: return CellView{4, 0, *std::get_if<std::string>(&atom)};
    default: return CellView{};
  }
}

// Three-way comparison of cells: by alternative first (null < bool < integer < double <
// string), then by value. NaN sorts after every other double and equal to itself, so the
// order stays a strict weak ordering and equal transaction atoms always meet.
int CompareCells(const CellView& a, const CellView& b) {
  if (a.kind != b.kind) return a.kind < b.kind ? -1 : 1;
  switch (a.kind) {
    case 1: return int{a.boolean()} - int{b.boolean()};
    case 2: {
      const std::int64_t x = a.integer();
      const std::int64_t y = b.integer();
      return (x > y) - (x < y);
    }
    case 3: {
      const double x = a.real();
      const double y = b.real();
      if (x < y) return -1;
      if (y < x) return 1;
      return int{std::isnan(x)} - int{std::isnan(y)};
    }
    case 4: {
      const int c = a.text.compare(b.text);
      return (c > 0) - (c < 0);
    }
    default: return 0;
  }
}

// Whether two cells hold the same value, bit for bit: unlike the ordering above, 0.0 and -0.0
// differ, and NaNs are the same only with the same payload.
bool IdenticalCells(const CellView& a, const CellView& b) {
  if (a.kind != b.kind) return false;
  return a.kind == 4 ? a.text == b.text : a.bits == b.bits;
}

bool IsContainer(const Value& value) {
  return std::holds_alternative<Array>(value.data) || std::holds_alternative<Object>(value.data);
}

void AssignCell(Value& target, const CellView& cell) {
  switch (cell.kind) {
    case 1: target.data.emplace<bool>(cell.boolean()); break;
    case 2: target.data.emplace<std::int64_t>(cell.integer()); break;
    case 3: target.data.emplace<double>(cell.real()); break;
    case 4:
      // Rows of one document rewrite equal strings (the transaction id on every row), so an
      // existing string is assigned in place and keeps its buffer.
      if (auto* existing = std::get_if<std::string>(&target.data)) {
        existing->assign(cell.text);
      } else {
        target.data.emplace<std::string>(cell.text);
      }
      break;
    default: target.data.emplace<std::monostate>(); break;
  }
}

bool GetBit(const std::uint8_t* bits, std::int64_t i) { return (bits[i >> 3] >> (i & 7)) & 1; }

// Reads one column's cells. A column of atoms is read in place when it exposes its atoms,
// otherwise through `at`; a row beyond the exposed atoms always goes through `at`, so a short
// column fails with its own out-of-range text. A raw column is read in its buffers.
class ColumnReader {
 public:
  explicit ColumnReader(IColumn& column) : column_(&column), size_(column.size()) {
    std::span<Atom> atoms;
    try {
      atoms = column.storage();
    } catch (const std::exception&) {
      // A read-only view may refuse to expose storage; it is then read through `at`.
    }
    if (atoms.size() == size_) data_ = atoms.data();
  }

  ColumnReader(const unshred_internal::RawColumn& raw, std::uint64_t rows)
      : raw_(&raw), size_(rows) {}

  // The cell at `row`. Its string view stays valid for the whole call when `in_place`, and
  // otherwise until the next `get` on this reader.
  CellView get(std::uint64_t row) {
    if (raw_ != nullptr) return RawCell(static_cast<std::int64_t>(row));
    if (data_ != nullptr && row < size_) return ViewOf(data_[row]);
    Copies& copies = this->copies();
    copies.scratch = column_->at(row);
    return ViewOf(copies.scratch);
  }

  // Whether the cell at `row` is known to be null without reading it: a cheap test for the
  // many empty cells of a sparse table. False when it cannot tell.
  [[gnu::always_inline]] bool KnownNull(std::uint64_t row) const {
    if (raw_ != nullptr) {
      if (raw_->validity != nullptr) {
        return !GetBit(raw_->validity, raw_->offset + static_cast<std::int64_t>(row));
      }
      return raw_->all_null || raw_->type == unshred_internal::RawColumn::Type::Null;
    }
    return data_ != nullptr && row < size_ && data_[row].index() == 0;
  }

  // Reads the row only for the failure it may raise, as placing would.
  void touch(std::uint64_t row) const {
    if (raw_ == nullptr && row >= size_) (void)column_->at(row);
  }

  // Whether one of the first `rows` cells is not null.
  bool HoldsValue(std::uint64_t rows) const {
    const std::uint64_t n = std::min(size_, rows);
    if (raw_ != nullptr) {
      using Type = unshred_internal::RawColumn::Type;
      if (raw_->type == Type::Null || raw_->all_null) return false;
      if (raw_->validity == nullptr) return n > 0;
      for (std::uint64_t i = 0; i < n; ++i) {
        if (GetBit(raw_->validity, raw_->offset + static_cast<std::int64_t>(i))) return true;
      }
      return false;
    }
    for (std::uint64_t i = 0; i < n; ++i) {
      if ((data_ != nullptr ? data_[i].index() : column_->at(i).index()) != 0) return true;
    }
    return false;
  }

  // Makes the first `rows` cells readable in place (a copy, once, for a column that does not
  // expose its atoms), so that sort comparisons never copy atoms.
  void materialize(std::uint64_t rows) {
    if (in_place()) return;
    const std::uint64_t n = std::min(size_, rows);
    std::vector<Atom>& owned = copies().owned;
    owned.reserve(n);
    for (std::uint64_t i = 0; i < n; ++i) owned.push_back(column_->at(i));
    data_ = owned.data();
    size_ = n;
  }

  bool in_place() const { return raw_ != nullptr || data_ != nullptr; }
  std::uint64_t size() const { return size_; }

 private:
  CellView RawCell(std::int64_t row) const {
    using Type = unshred_internal::RawColumn::Type;
    const unshred_internal::RawColumn& raw = *raw_;
    const std::int64_t i = raw.offset + row;
    if (raw.validity != nullptr ? !GetBit(raw.validity, i) : raw.all_null) return CellView{};
    switch (raw.type) {
      case Type::Bool: return CellView{1, GetBit(raw.values, i) ? 1u : 0u, {}};
      case Type::Int64:
      case Type::Double: {
        std::uint64_t bits;
        std::memcpy(&bits, raw.values + 8 * i, sizeof bits);
        return CellView{static_cast<std::uint8_t>(raw.type == Type::Int64 ? 2 : 3), bits, {}};
      }
      case Type::Utf8: {
        const auto* offsets = static_cast<const std::int32_t*>(raw.offsets);
        return CellView{4, 0, std::string_view(raw.data + offsets[i],
                                               static_cast<std::size_t>(offsets[i + 1] -
                                                                        offsets[i]))};
      }
      case Type::LargeUtf8: {
        const auto* offsets = static_cast<const std::int64_t*>(raw.offsets);
        return CellView{4, 0, std::string_view(raw.data + offsets[i],
                                               static_cast<std::size_t>(offsets[i + 1] -
                                                                        offsets[i]))};
      }
      default: return CellView{};
    }
  }

  const unshred_internal::RawColumn* raw_ = nullptr;
  IColumn* column_ = nullptr;
  const Atom* data_ = nullptr;
  std::uint64_t size_;
  // Atoms copied out of a column read through `at`; made on first use, so that a reader of
  // a column read in place (tables may have millions of columns) stays small.
  struct Copies {
    std::vector<Atom> owned;
    Atom scratch;
  };
  Copies& copies() {
    if (!copies_) copies_ = std::make_unique<Copies>();
    return *copies_;
  }
  std::unique_ptr<Copies> copies_;
};

// One index column: the array path it numbers, its column, and the segment count of the path.
struct IndexColumnRef {
  std::string_view base_path;
  std::uint64_t column;
  std::int32_t depth;
};

// One segment of a placed column's path: the member key it names and, when the path up to and
// including it is an array path, the index column that numbers that array.
struct Step {
  std::string key;
  std::uint64_t index_column;
  // Numbers the whole path up to and including this step (keys and index columns): two steps
  // of the same number lead, in one row, to the same place.
  std::uint32_t prefix;
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
// skipped (see `Rebuild`).
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

class Unshredder {
 public:
  explicit Unshredder(const std::vector<std::string>& headers) : headers_(headers) {}

  // "root___txn_id" when present: the member of the document itself. Otherwise the first
  // column ending with "__txn_id".
  void FindTransactionColumn() {
    const auto& headers = headers_;
    for (std::size_t c = 0; c < headers.size(); ++c) {
      if (headers[c] == kRootTxnName) {
        txn_column_ = c;
        return;
      }
    }
    for (std::size_t c = 0; c < headers.size(); ++c) {
      if (std::string_view(headers[c]).ends_with(kTxnSuffix)) {
        txn_column_ = c;
        return;
      }
    }
    throw std::runtime_error("Shredder::Unshred: missing __txn_id column");
  }

  // Rebuilds the documents of `rows` rows from one reader per header.
  std::vector<Object> Run(std::vector<ColumnReader> readers, std::uint64_t rows) {
    const auto& headers = headers_;
    readers_ = std::move(readers);
    rows_ = rows;
    BuildPlans();
    // The cells that count are those of columns holding a value: columns of nulls only may
    // cost nothing to hold, so they must not widen the budgets.
    std::uint64_t valued_columns = 0;
    std::uint64_t name_bytes = 0;
    holds_value_.reserve(headers.size());
    for (std::size_t c = 0; c < headers.size(); ++c) {
      holds_value_.push_back(readers_[c].HoldsValue(rows));
      if (holds_value_.back()) ++valued_columns;
      name_bytes += headers[c].size();
    }
    const std::uint64_t cells = SaturatingProduct(rows, valued_columns);
    slot_budget_ = SaturatingSum(cells, kSlotAllowance);
    member_budget_ = SaturatingSum(
        SaturatingSum(kMemberAllowance, SaturatingProduct(kMemberBytesPerCell, cells)),
        name_bytes);
    if (rows <= std::numeric_limits<std::uint32_t>::max()) {
      return Rebuild<std::uint32_t>(rows);
    }
    return Rebuild<std::uint64_t>(rows);
  }

 private:
  static constexpr std::uint64_t kSlotMax = std::numeric_limits<std::uint64_t>::max();

  static std::uint64_t SaturatingProduct(std::uint64_t a, std::uint64_t b) {
    if (a != 0 && b > kSlotMax / a) return kSlotMax;
    return a * b;
  }

  static std::uint64_t SaturatingSum(std::uint64_t a, std::uint64_t b) {
    return a > kSlotMax - b ? kSlotMax : a + b;
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
    MarkRepeatablePlans();
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
    const ColumnReader& reader = readers_[column];
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
      ColumnReader& reader = readers_[index];
      if (!IdenticalCells(reader.get(row), reader.get(earlier))) return false;
    }
    return true;
  }

  // The sort passes in the order they run: index columns of deeper arrays first, equal depths
  // by array path, and the transaction column last, so that it decides first.
  std::vector<std::uint64_t> SortPassColumns() const {
    std::vector<IndexColumnRef> refs = index_refs_;
    std::stable_sort(refs.begin(), refs.end(),
                     [](const IndexColumnRef& a, const IndexColumnRef& b) {
                       if (a.depth != b.depth) return a.depth > b.depth;
                       return a.base_path < b.base_path;
                     });
    std::vector<std::uint64_t> passes;
    passes.reserve(refs.size() + 1);
    for (const IndexColumnRef& ref : refs) passes.push_back(ref.column);
    passes.push_back(txn_column_);
    return passes;
  }

  // Orders the rows as the successive stable sorts by each pass column would: one stable sort
  // comparing the pass columns from the last pass to the first gives the same order.
  template <typename Row>
  std::vector<Row> OrderRows(std::uint64_t rows) {
    const std::vector<std::uint64_t> passes = SortPassColumns();
    if (rows >= 2) {
      // Every row takes part in some comparison of every pass, so a pass column that lacks a
      // row fails with its own text, the first such column in pass order first.
      for (std::uint64_t column : passes) {
        if (readers_[column].size() < rows) readers_[column].touch(readers_[column].size());
      }
    }
    // Sorting by a column of nulls only changes nothing: its pass is dropped rather than
    // copying the atoms of a column that stores none.
    std::vector<std::uint64_t> kept;
    kept.reserve(passes.size());
    for (std::uint64_t column : passes) {
      if (column == txn_column_ || holds_value_[column]) kept.push_back(column);
    }
    for (std::uint64_t column : kept) readers_[column].materialize(rows);

    std::vector<Row> order(rows);
    for (std::uint64_t r = 0; r < rows; ++r) order[r] = static_cast<Row>(r);
    groups_.clear();
    if (rows < 2) {
      if (rows == 1) groups_.push_back(Group{0, 1});
      return order;
    }

    // The transaction column decides first (it is the last pass), then the index columns.
    // Rows of one transaction mostly stand together, so the stable sort by all of them is
    // done as: the runs of rows of one transaction atom, stably sorted by that atom; the runs
    // of equal atoms joined in that order; each group stably sorted by the index columns.
    // That is the order of one stable sort by all the keys, with one comparison of
    // transaction atoms per run instead of several per row.
    ColumnReader& txn = readers_[txn_column_];
    std::vector<ColumnReader*> keys;
    keys.reserve(kept.size());
    for (auto it = kept.rbegin() + 1; it != kept.rend(); ++it) keys.push_back(&readers_[*it]);
    struct TxnRun {
      Row first;
      Row end;
    };
    std::vector<TxnRun> runs;
    Row start = 0;
    for (std::uint64_t r = 1; r <= rows; ++r) {
      if (r == rows || CompareCells(txn.get(r), txn.get(r - 1)) != 0) {
        runs.push_back(TxnRun{start, static_cast<Row>(r)});
        start = static_cast<Row>(r);
      }
    }
    std::stable_sort(runs.begin(), runs.end(), [&txn](const TxnRun& a, const TxnRun& b) {
      return CompareCells(txn.get(a.first), txn.get(b.first)) < 0;
    });
    auto by_index = [&keys](Row a, Row b) {
      for (ColumnReader* key : keys) {
        const int c = CompareCells(key->get(a), key->get(b));
        if (c != 0) return c < 0;
      }
      return false;
    };
    std::size_t out = 0;
    for (std::size_t i = 0; i < runs.size();) {
      const std::size_t group = out;
      std::size_t j = i;
      do {
        for (Row r = runs[j].first; r < runs[j].end; ++r) order[out++] = r;
        ++j;
      } while (j < runs.size() &&
               CompareCells(txn.get(runs[j].first), txn.get(runs[i].first)) == 0);
      if (!keys.empty() && out - group > 1) {
        std::stable_sort(order.begin() + static_cast<std::ptrdiff_t>(group),
                         order.begin() + static_cast<std::ptrdiff_t>(out), by_index);
      }
      groups_.push_back(Group{group, out});
      i = j;
    }
    return order;
  }

  // The documents, in ascending order of their transaction atoms: one per group of rows of
  // equal transaction atoms, built from its rows in sorted order.
  //
  // Sorted by transaction, the rows of the table come in no useful order in memory, so the
  // documents are built in the order of their first rows in the table instead, each into its
  // own place. Documents do not depend on one another and the budgets count totals, so this
  // gives the same documents, and fails exactly when the sorted order would; should it fail,
  // the documents are built again in sorted order so that the failure is the one that order
  // meets first.
  template <typename Row>
  std::vector<Object> Rebuild(std::uint64_t rows) {
    const std::vector<Row> order = OrderRows<Row>(rows);
    // Null transaction atoms sort first.
    if (rows > 0 && readers_[txn_column_].get(order[0]).kind == 0) {
      throw std::runtime_error("Shredder::Unshred: null __txn_id encountered");
    }
    std::vector<std::size_t> by_table_order(groups_.size());
    {
      std::vector<Row> first_rows(groups_.size());
      for (std::size_t g = 0; g < groups_.size(); ++g) {
        by_table_order[g] = g;
        first_rows[g] = *std::min_element(order.begin() + groups_[g].begin,
                                          order.begin() + groups_[g].end);
      }
      std::sort(by_table_order.begin(), by_table_order.end(),
                [&](std::size_t a, std::size_t b) { return first_rows[a] < first_rows[b]; });
    }
    std::vector<Object> documents(groups_.size());
    try {
      BuildDocuments(order, by_table_order, documents);
    } catch (const std::exception&) {
      std::vector<std::size_t> sorted(groups_.size());
      for (std::size_t g = 0; g < sorted.size(); ++g) sorted[g] = g;
      documents = std::vector<Object>(groups_.size());
      slots_used_ = 0;
      member_bytes_ = 0;
      BuildDocuments(order, sorted, documents);
    }
    return documents;
  }

  // Builds documents[g] from the rows of group g, for the groups in `visit` order.
  template <typename Row>
  void BuildDocuments(const std::vector<Row>& order, const std::vector<std::size_t>& visit,
                      std::vector<Object>& documents) {
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
      Object& open = documents[document];
      for (std::size_t i = groups_[document].begin; i < groups_[document].end; ++i) {
        const Row row = order[i];
        for (std::size_t p = 0; p < plans_.size(); ++p) {
          const ColumnPlan& plan = plans_[p];
          ColumnReader& reader = readers_[plan.column];
          if (plan.first_step == plan.end_step) {
            reader.touch(row);
            continue;
          }
          if (reader.KnownNull(row)) continue;
          const CellView cell = reader.get(row);
          if (cell.kind == 0) continue;
          if (plan.repeatable) {
            LastPlacement& previous = last[p];
            if (previous.document == document && previous.replacements == replacements_ &&
                SameAtoms(plan, cell, row, previous.row)) {
              continue;
            }
            previous = LastPlacement{document, row, replacements_};
          }
          Place(open, plan, row, cell);
        }
      }
    }
  }

  // Puts `cell` at the place its column's path and this row's index atoms describe, creating
  // the objects and arrays on the way. A scalar never replaces an object or an array.
  //
  // Consecutive placements in a row mostly share the first steps of their paths (the members
  // of one object). The containers the last placement passed through are kept, and a
  // placement whose path begins with the same steps starts from the deepest shared one:
  // walking those steps again would only find what is already there, as long as nothing
  // was replaced and no array was resized since (which could move the containers).
  void Place(Object& document, const ColumnPlan& plan, std::uint64_t row, const CellView& cell) {
    const Step* const first = &steps_[plan.first_step];
    const std::size_t count = plan.end_step - plan.first_step;
    if (cursor_.size() < count) cursor_.resize(count);
    std::size_t depth = 0;
    Object* container = &document;
    if (cursor_row_ == row && cursor_document_ == document_serial_ &&
        cursor_replacements_ == replacements_ && cursor_resizes_ == resizes_) {
      depth = std::min(cursor_depth_, count - 1);
      while (depth > 0 && cursor_[depth - 1].prefix != first[depth - 1].prefix) --depth;
      if (depth > 0) container = cursor_[depth - 1].container;
    }
    PlaceFrom(container, depth, first, count, plan, row, cell);
    cursor_row_ = row;
    cursor_document_ = document_serial_;
    cursor_replacements_ = replacements_;
    cursor_resizes_ = resizes_;
  }

  // Walks the steps of a placement from `depth` on, recording in the cursor the container
  // each step leads to.
  void PlaceFrom(Object* container, std::size_t depth, const Step* first, std::size_t count,
                 const ColumnPlan& plan, std::uint64_t row, const CellView& cell) {
    for (;; ++depth) {
      cursor_depth_ = depth;
      const Step* step = first + depth;
      const bool is_last = depth + 1 == count;
      if (step->index_column != kNoIndexColumn) {
        const CellView index_cell = readers_[step->index_column].get(row);
        // A null index reads the path as an object path; any other non-index stops the atom.
        if (index_cell.kind != 0) {
          if (index_cell.kind != 2 || index_cell.integer() < 0) return;
          const std::int64_t index = index_cell.integer();
          Value& member = MemberOf(*container, step->key);
          if (!std::holds_alternative<Array>(member.data)) Replace<Array>(member);
          Array& array = *std::get_if<Array>(&member.data);
          const std::uint64_t wanted = static_cast<std::uint64_t>(index) + 1;
          if (array.size() < wanted) {
            TakeSlots(wanted - array.size(), plan);
            array.resize(wanted);
            ++resizes_;
          }
          Value& element = array[static_cast<std::size_t>(index)];
          if (is_last) {
            if (!IsContainer(element)) AssignCell(element, cell);
            return;
          }
          if (!std::holds_alternative<Object>(element.data)) Replace<Object>(element);
          container = std::get_if<Object>(&element.data);
          cursor_[depth] = CursorStep{step->prefix, container};
          continue;
        }
      }
      Value& member = MemberOf(*container, step->key);
      if (is_last) {
        if (!IsContainer(member)) AssignCell(member, cell);
        return;
      }
      if (!std::holds_alternative<Object>(member.data)) Replace<Object>(member);
      container = std::get_if<Object>(&member.data);
      cursor_[depth] = CursorStep{step->prefix, container};
    }
  }

  // Makes `value` an empty container of type C, counting it when something other than a
  // null (a filler or a member just created) is replaced.
  template <typename C>
  void Replace(Value& value) {
    if (value.data.index() != 0) ++replacements_;
    value.data.emplace<C>();
  }

  // The member `key` of `container`, created (and counted) when absent. The node is counted
  // once it is made, so the budget is passed by one member at most.
  Value& MemberOf(Object& container, const std::string& key) {
    const auto [it, created] = container.try_emplace(key);
    if (created) {
      const std::uint64_t cost = kMemberNodeBytes + key.size();
      if (cost > member_budget_ - member_bytes_) {
        throw std::runtime_error(
            "Shredder::Unshred: documents too large to rebuild: members would take more than " +
            std::to_string(member_budget_) + " bytes");
      }
      member_bytes_ += cost;
    }
    return it->second;
  }

  // Counts array slots over the whole call, so the memory a table can make us allocate stays
  // proportional to its size; fails before the slots are allocated.
  void TakeSlots(std::uint64_t count, const ColumnPlan& plan) {
    if (count > slot_budget_ - slots_used_) {
      throw std::runtime_error("Shredder::Unshred: array index out of range at " +
                               std::string(plan.name));
    }
    slots_used_ += count;
  }

  const std::vector<std::string>& headers_;
  std::uint64_t rows_ = 0;
  std::uint64_t txn_column_ = 0;
  std::vector<ColumnReader> readers_;
  std::vector<IndexColumnRef> index_refs_;
  std::vector<Step> steps_;
  std::vector<ColumnPlan> plans_;
  std::uint64_t slot_budget_ = 0;
  std::uint64_t slots_used_ = 0;
  // The rows of each document: a range of the sorted row order, in document order.
  struct Group {
    std::size_t begin;
    std::size_t end;
  };
  std::vector<Group> groups_;
  std::uint64_t replacements_ = 0;  // containers made over other values in the open document
  std::uint64_t resizes_ = 0;       // arrays grown in this call
  std::uint64_t document_serial_ = 0;
  // The last placement: in which row of which document, the counts above at its end, how
  // many of its steps it walked, and the container each step led to.
  struct CursorStep {
    std::uint32_t prefix;
    Object* container;
  };
  std::vector<CursorStep> cursor_;
  std::size_t cursor_depth_ = 0;
  std::uint64_t cursor_row_ = UINT64_MAX;
  std::uint64_t cursor_document_ = UINT64_MAX;
  std::uint64_t cursor_replacements_ = 0;
  std::uint64_t cursor_resizes_ = 0;
  std::vector<bool> holds_value_;
  std::uint64_t member_budget_ = 0;
  std::uint64_t member_bytes_ = 0;
};

}  // namespace

std::vector<std::string> split_path(std::string_view name) {
  std::vector<std::string> segments;
  ForEachSegment(name, [&](std::string_view segment) {
    segments.emplace_back(segment);
    return true;
  });
  return segments;
}

std::vector<Object> Shredder::Unshred(const ShredResult& table) const {
  if (table.headers.size() != table.columns.size()) {
    throw std::runtime_error("Shredder::Unshred: headers/columns size mismatch");
  }
  Unshredder unshredder(table.headers);
  unshredder.FindTransactionColumn();
  std::vector<ColumnReader> readers;
  readers.reserve(table.columns.size());
  for (const auto& column : table.columns) readers.emplace_back(*column);
  return unshredder.Run(std::move(readers), table.columns[0]->size());
}

namespace unshred_internal {

std::vector<Object> Unshred(const std::vector<std::string>& headers,
                            const std::vector<RawColumn>& columns, std::uint64_t rows) {
  Unshredder unshredder(headers);
  unshredder.FindTransactionColumn();
  std::vector<ColumnReader> readers;
  readers.reserve(columns.size());
  for (const RawColumn& column : columns) readers.emplace_back(column, rows);
  return unshredder.Run(std::move(readers), rows);
}

}  // namespace unshred_internal

}  // namespace shredder
