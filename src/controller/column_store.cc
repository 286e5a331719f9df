#include "controller/column_store.h"

#include <algorithm>
#include <bit>
#include <cstdint>
#include <optional>
#include <string>
#include <utility>
#include <vector>

#include "shredder/column_names.h"
#include "shredder/shredder.h"

namespace shredder::controller_internal {

namespace {

inline void repeat_last(MergedColumn& column, Kind kind) {
  const std::size_t entry = column.kinds.size() - 1;
  if (column.repeats.empty() || column.repeats.back().entry != entry) {
    column.repeats.push_back(MergedColumn::Repeat{entry, 2});
  } else {
    ++column.repeats.back().count;
  }
  if (kind == Kind::String) column.string_bytes += column.last_text_length;
}

inline std::uint64_t payload(MergedColumn& column, shredding::Cell cell, Kind kind) {
  if (kind == Kind::Null) return 0;
  if (shredding::IsIndexCell(cell)) {
    return static_cast<std::uint64_t>(shredding::IndexOf(cell));
  }
  const ValueData& data = shredding::LeafOf(cell).data;
  switch (kind) {
    case Kind::Bool: return *std::get_if<bool>(&data) ? 1 : 0;
    case Kind::Int64: return static_cast<std::uint64_t>(*std::get_if<std::int64_t>(&data));
    case Kind::Double: return std::bit_cast<std::uint64_t>(*std::get_if<double>(&data));
    default: {
      const std::string& text = *std::get_if<std::string>(&data);
      column.text.append(text);
      column.string_bytes += text.size();
      column.last_text_length = text.size();
      return column.text.size();
    }
  }
}

// The buffers of built columns, kept per thread for the columns of the batches after: a
// column's text runs to megabytes (a digest per row), and a buffer grown afresh in every batch
// has the kernel zero its pages and each growth copy them again. Columns come back in the
// order they were made, and a batch of the same shape takes them in that order, so that a
// column mostly gets the buffers of its namesake, already large enough.
struct SpareBuffers {
  static constexpr std::size_t kMostBytes = std::size_t{64} << 20;

  struct Buffers {
    std::vector<Kind> kinds;
    std::vector<std::uint64_t> payloads;
    std::string text;
  };
  std::vector<Buffers> kept;
  std::size_t next = 0;  // the first not taken yet
  std::size_t bytes = 0;

  static std::size_t size_of(const Buffers& buffers) {
    return buffers.kinds.capacity() + buffers.payloads.capacity() * sizeof(std::uint64_t) +
           buffers.text.capacity();
  }
};

thread_local SpareBuffers spare_buffers;

void take_buffers(MergedColumn& column) {
  SpareBuffers& spare = spare_buffers;
  if (spare.next == spare.kept.size()) return;
  SpareBuffers::Buffers& buffers = spare.kept[spare.next++];
  spare.bytes -= SpareBuffers::size_of(buffers);
  column.kinds = std::move(buffers.kinds);
  column.payloads = std::move(buffers.payloads);
  column.text = std::move(buffers.text);
  if (spare.next == spare.kept.size()) {
    spare.kept.clear();
    spare.next = 0;
  }
}

// Appends a cell; one that repeats the row before in the same document (the same leaf, or
// both empty) only counts again.
inline void store(MergedColumn& column, shredding::Cell cell, Kind kind,
                  bool repeat) {
  if (repeat) {
    repeat_last(column, kind);
  } else {
    column.kinds.push_back(kind);
    column.payloads.push_back(payload(column, cell, kind));
  }
}

}  // namespace

void MergedColumn::release() {
  std::vector<Repeat>().swap(repeats);
  SpareBuffers& spare = spare_buffers;
  SpareBuffers::Buffers buffers{std::move(kinds), std::move(payloads), std::move(text)};
  kinds = {};
  payloads = {};
  text = {};
  const std::size_t size = SpareBuffers::size_of(buffers);
  if (size == 0 || spare.bytes + size > SpareBuffers::kMostBytes) return;
  if (spare.next > 0) {  // what a batch took goes first, so that the list stays short
    spare.kept.erase(spare.kept.begin(),
                     spare.kept.begin() + static_cast<std::ptrdiff_t>(spare.next));
    spare.next = 0;
  }
  buffers.kinds.clear();
  buffers.payloads.clear();
  buffers.text.clear();
  spare.bytes += size;
  spare.kept.push_back(std::move(buffers));
}

Merger::Merger(const CoercePolicy& policy, bool boxing, bool exact)
    : policy_(policy),
      boxing_(boxing),
      exact_(exact),
      walker_(exact) {}

void Merger::add_exact(Object& document, const shredding::Stamps& stamps,
                       std::int64_t row) {
  const shredding::DocumentTable* table = nullptr;
  try {
    table = &walker_.Walk(document, stamps);
  } catch (const shredding::NeedsStampedDocument&) {
    // Exact mode's walk refuses nothing else: only a bound that measures the document.
    for (std::size_t i = 0; i < stamps.objects.size(); ++i) {
      auto& object = const_cast<Object&>(*stamps.objects[i]);
      object.insert_or_assign(std::string(kTxnIdKey), *stamps.txn_id);
      object.insert_or_assign(std::string(kObjIdKey), stamps.obj_ids[i]);
    }
    table = &walker_.Walk(document);
  }
  document_rows_.push_back(Run{row, table->row_count});
  append(*table);
}

ExactPlan Merger::findings(const ExactPlan& plan) const {
  ExactPlan found;
  for (const MergedColumn& column : columns_) {
    const unsigned present = column.kinds_seen & ~unsigned{shredding::KindBit(Kind::Null)};
    if ((present & (present - 1)) != 0 && !plan.kinds.contains(*column.name)) {
      found.kinds.emplace(*column.name, BoxedKind(column.kinds_seen));
    }
  }
  for (std::uint32_t id = 0; id < walker_.name_count(); ++id) {
    const shredding::NameInfo& info = walker_.info(id);
    if (!info.ambiguous) continue;
    const std::string& name = walker_.name(id);
    std::vector<KeyList> candidates = info.others;
    candidates.emplace_back(info.keys, info.role);
    const KeyList& owner = candidates[OwnerOf(name, candidates)];
    std::string owner_code = KeyListCode(owner.first, owner.second);
    const auto known = plan.owners.find(name);
    if (known == plan.owners.end() || known->second != owner_code) {
      found.owners.emplace(name, std::move(owner_code));
    }
  }
  return found;
}

void Merger::add(const Object& document) { append(walker_.Walk(document)); }

void Merger::add(Object& document, Tagger& tagger) {
  const Value* txn_id = nullptr;
  append(WalkTagged(walker_, document, tagger, txn_id));
}

shredding::Stamps ComputeStamps(Tagger& tagger, Object& document) {
  const TaggerStamps stamps = StampAccess::Compute(tagger, document);
  return shredding::Stamps{stamps.objects, stamps.obj_ids, stamps.txn_id};
}

const shredding::DocumentTable& WalkTagged(shredding::TableWalker& walker,
                                                Object& document, Tagger& tagger,
                                                const Value*& txn_id) {
  const shredding::Stamps stamps = ComputeStamps(tagger, document);
  const bool root_stamped = !stamps.objects.empty() && stamps.objects.front() == &document;
  txn_id = root_stamped ? stamps.txn_id : nullptr;
  try {
    return walker.Walk(document, stamps);
  } catch (...) {
    StampAccess::Write(tagger, document);
    return walker.Walk(document);
  }
}

inline void Merger::append(const shredding::DocumentTable& table) {
  if (table.headers.empty() || table.row_count == 0) return;
  const std::size_t width = table.headers.size();
  tallest_document_ = std::max(tallest_document_, table.row_count);
  widest_document_ = std::max(widest_document_, width);
  // Any other policy may refuse a cell: the kinds are settled before anything is stored, so
  // that a refused document leaves the columns as they were.
  if (!boxing_) settle_kinds(table);
  ids_.clear();
  for (std::size_t j = 0; j < width; ++j) ids_.push_back(column_id(table.headers[j]));
  targets_.clear();
  for (std::size_t j = 0; j < width; ++j) {
    MergedColumn& column = columns_[ids_[j]];
    extend_runs(column, table.row_count);
    targets_.push_back(&column);
  }
  if (boxing_) {
    append_rows(table);
  } else {
    for (std::size_t j = 0; j < width; ++j) append_column(*targets_[j], table, j, settled_[j]);
  }
  total_rows_ += static_cast<std::int64_t>(table.row_count);
}

inline std::uint32_t Merger::column_id(std::uint32_t name) {
  if (name >= column_of_name_.size()) column_of_name_.resize(name + 1, kNoId);
  std::uint32_t& id = column_of_name_[name];
  if (id == kNoId) {
    id = static_cast<std::uint32_t>(columns_.size());
    MergedColumn& column = columns_.emplace_back();
    take_buffers(column);
    column.name = &walker_.name(name);
    column.name_id = name;
  }
  return id;
}

inline void Merger::extend_runs(MergedColumn& column, std::size_t count) {
  if (!column.runs.empty() &&
      column.runs.back().row + static_cast<std::int64_t>(column.runs.back().count) ==
          total_rows_) {
    column.runs.back().count += count;
  } else {
    column.runs.push_back(Run{total_rows_, count});
  }
}

void Merger::append_rows(const shredding::DocumentTable& table) {
  const std::size_t width = table.headers.size();
  static const std::vector<shredding::Cell> kNoRow;
  const std::vector<shredding::Cell>* previous = &kNoRow;
  for (std::size_t r = 0; r < table.row_count; ++r) {
    const std::vector<shredding::Cell>& row = table.rows[r];
    const std::size_t written = std::min(row.size(), width);
    for (std::size_t j = 0; j < width; ++j) {
      const shredding::Cell cell = j < written ? row[j] : shredding::kNoCell;
      const shredding::Cell before =
          j < previous->size() ? (*previous)[j] : shredding::kNoCell;
      MergedColumn& column = *targets_[j];
      if (r > 0 && cell == before) {
        // The row before stored this very cell here: its kind is the column's last.
        repeat_last(column, column.kinds.back());
        continue;
      }
      const Kind incoming = shredding::AtomKindOf(cell);
      column.kinds_seen |= shredding::KindBit(incoming);
      store(column, cell, incoming, false);
    }
    previous = &row;
  }
}

void Merger::settle_kinds(const shredding::DocumentTable& table) {
  settled_.clear();
  for (std::size_t j = 0; j < table.headers.size(); ++j) {
    const std::uint32_t name = table.headers[j];
    std::optional<Kind> kind;  // a column merged before has cells, and so a kind
    if (name < column_of_name_.size() && column_of_name_[name] != kNoId) {
      kind = columns_[column_of_name_[name]].kind;
    }
    const std::string& column_name = walker_.name(name);
    for (std::size_t r = 0; r < table.row_count; ++r) {
      const std::vector<shredding::Cell>& row = table.rows[r];
      const Kind incoming = shredding::AtomKindOf(j < row.size() ? row[j] : shredding::kNoCell);
      if (!kind) {
        kind = incoming;
        continue;
      }
      kind = policy_.kind_resolver(*kind, incoming, column_name);
      if (!kind) Fail(ErrorCode::Shape, "schema conflict at " + column_name, column_name);
    }
    settled_.push_back(*kind);
  }
}

void Merger::append_column(MergedColumn& column, const shredding::DocumentTable& table,
                           std::size_t j, Kind settled) {
  shredding::Cell previous = shredding::kNoCell;
  for (std::size_t r = 0; r < table.row_count; ++r) {
    const std::vector<shredding::Cell>& row = table.rows[r];
    const shredding::Cell cell = j < row.size() ? row[j] : shredding::kNoCell;
    store(column, cell, shredding::AtomKindOf(cell), r > 0 && cell == previous);
    previous = cell;
  }
  column.kind = settled;
}

}  // namespace shredder::controller_internal
