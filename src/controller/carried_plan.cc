#include "controller/carried_plan.h"

#include <algorithm>
#include <bit>
#include <cstdint>
#include <string_view>
#include <utility>

#include "shredder/cell_view.h"

namespace shredder::controller_internal {
namespace {

// The key list and role of a code `KeyListCode` made: every key as its 4-byte little-endian
// length and bytes, then the role.
KeyList DecodeKeyList(std::string_view code) {
  KeyList list;
  std::size_t at = 0;
  while (code.size() - at > 1) {
    std::uint32_t length = 0;
    for (int byte = 0; byte < 4; ++byte) {
      length |= std::uint32_t{static_cast<unsigned char>(code[at + byte])} << (8 * byte);
    }
    list.first.emplace_back(code.substr(at + 4, length));
    at += 4 + length;
  }
  list.second = static_cast<ColumnRole>(code.back());
  return list;
}

}  // namespace

Owners FirstRoundAdditions(const ExactPlan& plan, const ExactPlan& found) {
  Owners added;
  if (!found.kinds.empty()) return added;
  for (const auto& [name, code] : found.owners) {
    // The plan's own owner stands: rounds merge what they find into the plan.
    if (!plan.owners.contains(name)) added.emplace(name, code);
  }
  return added;
}

bool GuessConfirmed(const ExactPlan& start, const ExactPlan& plan,
                    const std::vector<Normalizer::ExactView::Guessed>& set_aside,
                    const Merger& merger) {
  if (!merger.findings(plan).empty()) return false;
  // Kept, the members would have grown their documents' tables: by no more than a column
  // each, of a name no longer than the longest. Within what no document is refused for, the
  // first round would have refused no document that this one kept.
  std::size_t longest = 0;
  for (std::uint32_t id = 0; id < merger.walker().name_count(); ++id) {
    longest = std::max(longest, merger.walker().name(id).size());
  }
  for (const Normalizer::ExactView::Guessed& member : set_aside) {
    longest = std::max(longest, member.name.size());
  }
  const std::uint64_t widest = merger.widest_document() + set_aside.size();
  if (widest * merger.tallest_document() > shredding::kFreeDocumentCells ||
      widest * longest > shredding::kFreeDocumentNameBytes) {
    return false;
  }
  // The members the guesses set aside, by the name each would have made.
  struct Made {
    std::vector<std::string> codes;
    std::uint8_t kinds = 0;
  };
  std::unordered_map<std::string, Made> kept_first;
  for (const Normalizer::ExactView::Guessed& member : set_aside) {
    if (!member.plain) return false;
    Made& made = kept_first[member.name];
    if (std::find(made.codes.begin(), made.codes.end(), member.code) == made.codes.end()) {
      made.codes.push_back(member.code);
    }
    made.kinds |= shredding::KindBit(member.kind);
  }
  // Their cells would have joined the columns of those names.
  for (const MergedColumn& column : merger.columns()) {
    const auto made = kept_first.find(*column.name);
    if (made != kept_first.end()) made->second.kinds |= column.kinds_seen;
  }
  for (const auto& [name, made] : kept_first) {
    const unsigned present = made.kinds & ~unsigned{shredding::KindBit(Kind::Null)};
    if (std::popcount(present) > 1) return false;  // the first round would have found kinds
  }
  // The first round's names made by several key lists: this round's, and those the guesses
  // set aside.
  Owners first;
  const shredding::TableWalker& walker = merger.walker();
  auto add = [&](const std::string& name, std::vector<KeyList> candidates) {
    if (const auto made = kept_first.find(name); made != kept_first.end()) {
      for (const std::string& code : made->second.codes) {
        KeyList list = DecodeKeyList(code);
        if (std::find(candidates.begin(), candidates.end(), list) == candidates.end()) {
          candidates.push_back(std::move(list));
        }
      }
    }
    if (candidates.size() < 2 || start.owners.contains(name)) return;
    const KeyList& owner = candidates[OwnerOf(name, candidates)];
    first.emplace(name, KeyListCode(owner.first, owner.second));
  };
  for (std::uint32_t id = 0; id < walker.name_count(); ++id) {
    const shredding::NameInfo& info = walker.info(id);
    std::vector<KeyList> candidates = info.others;
    candidates.emplace_back(info.keys, info.role);
    add(walker.name(id), std::move(candidates));
    kept_first.erase(walker.name(id));
  }
  for (const auto& [name, made] : kept_first) add(name, {});  // names only those members made
  if (first.size() != plan.guessed.size()) return false;
  return std::all_of(plan.guessed.begin(), plan.guessed.end(), [&](const std::string& name) {
    const auto found = first.find(name);
    return found != first.end() && found->second == plan.owners.at(name);
  });
}

}  // namespace shredder::controller_internal
