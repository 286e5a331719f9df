#include "shred/column_plans.h"
#include "shredder/error.h"

#include <algorithm>
#include <cstdint>
#include <functional>
#include <stdexcept>
#include <string>
#include <string_view>
#include <unordered_map>
#include <unordered_set>
#include <utility>
#include <vector>

#include "shred/path_names.h"
#include "shredder/column_names.h"
#include "shredder/value.h"

namespace shredder::unshredding {
namespace {

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

}  // namespace

std::uint64_t FindTransactionColumn(const std::vector<std::string>& headers) {
  for (std::size_t c = 0; c < headers.size(); ++c) {
    if (headers[c] == kRootTxnName) return c;
  }
  for (std::size_t c = 0; c < headers.size(); ++c) {
    if (std::string_view(headers[c]).ends_with(kTxnIdKey)) return c;
  }
  throw Error(ErrorCode::BadAtoms, "Shredder::Unshred: missing __txn_id column");
}

std::uint64_t GroupingColumn(const std::vector<std::string>& headers,
                             const UnshredLayout* layout) {
  if (layout != nullptr) {
    for (std::size_t c = 0; c < layout->columns.size(); ++c) {
      if (layout->columns[c].document) return c;
    }
  }
  return FindTransactionColumn(headers);
}

ColumnPlans::ColumnPlans(const std::vector<std::string>& headers, const UnshredLayout* layout) {
  if (layout != nullptr) {
    BuildKeyedPlans(headers, layout->columns);
  } else {
    BuildPlans(headers);
  }
}

void ColumnPlans::BuildPlans(const std::vector<std::string>& headers) {
  // A leaf at the deepest level of an accepted document is named by "root" plus one key per
  // level. A name of more segments would rebuild a document deeper than the later stages
  // accept (each segment may add an array and an object); it is refused before anything is
  // built.
  constexpr std::size_t kMaxSegments = kMaxNestingDepth + 1;
  for (const std::string& name : headers) {
    if (CountSegments(name, kMaxSegments) > kMaxSegments) {
      throw Error(ErrorCode::BadAtoms,
                  "Shredder::Unshred: column name nested too deeply at " + name, name);
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
}

// The plans of a table whose columns say which keys they hold: a column read by its name
// takes the keys of its name's segments (less a leading "root"). An array path is matched
// by its keys, never by the text of a name, so "a_b" and "a" with "b" stay apart.
void ColumnPlans::BuildKeyedPlans(const std::vector<std::string>& headers,
                                  const std::vector<ColumnLayout>& layout) {
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
      throw Error(ErrorCode::BadAtoms,
                  "Shredder::Unshred: column name nested too deeply at " + headers[c],
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
}

// Numbers the distinct keys in byte order, the order of an object's members.
void ColumnPlans::RankKeys() {
  std::vector<std::string_view> keys;
  keys.reserve(steps_.size());
  for (const Step& step : steps_) keys.push_back(step.key);
  std::sort(keys.begin(), keys.end());
  keys.erase(std::unique(keys.begin(), keys.end()), keys.end());
  for (Step& step : steps_) {
    step.rank = static_cast<std::uint32_t>(
        std::lower_bound(keys.begin(), keys.end(), std::string_view(step.key)) - keys.begin());
  }
  keys_ = std::move(keys);
}

// A plan is repeatable when no other plan reaches the same place (the same keys with the
// same index columns, as "a" and "root_a" do) and all its atoms are read in place.
void ColumnPlans::MarkRepeatablePlans(const std::vector<bool>& in_place) {
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
    bool repeatable = in_place[plan.column];
    for (std::size_t i = plan.first_step; i < plan.end_step; ++i) {
      if (steps_[i].index_column != kNoIndexColumn) repeatable &= in_place[steps_[i].index_column];
    }
    plan.repeatable = repeatable;
  }
}

std::vector<bool> ColumnPlans::StampRanks() const {
  std::vector<bool> skipped;
  for (const Step& step : steps_) {
    if (step.key != kTxnIdKey && step.key != kObjIdKey) continue;
    if (skipped.size() <= step.rank) skipped.resize(step.rank + 1, false);
    skipped[step.rank] = true;
  }
  return skipped;
}

}  // namespace shredder::unshredding
