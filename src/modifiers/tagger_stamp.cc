#include <cstring>
#include <iterator>
#include <stdexcept>
#include <string>
#include <variant>

#include "modifiers/tagger_scratch.h"
#include "shredder/column_names.h"
#include "shredder/error.h"

namespace shredder {

using namespace tagger_internal;

namespace {

void assign_text(ValueData& slot, std::string_view text) {
  if (auto* existing = std::get_if<std::string>(&slot)) {
    existing->assign(text);
  } else {
    slot.emplace<std::string>(text);
  }
}

// Sets the member `key` and returns where it stands.
Object::iterator assign_member(Object& object, const std::string& key, std::string_view text) {
  auto at = object.lower_bound(key);
  if (at == object.end() || at->first != key) at = object.emplace_hint(at, key, Value());
  assign_text(at->second.data, text);
  return at;
}

// Sets the member "__obj_id" of an object whose "__txn_id" stands at `txn` to the hex text of
// `digest`. The two keys sort next to each other unless the object has a key between them,
// so the place of the first is nearly always known without a search.
void assign_obj_id(Object& object, Object::iterator txn, const std::string& key,
                   std::span<const std::uint8_t> digest) {
  Object::iterator at;
  if (txn != object.begin() && std::prev(txn)->first == key) {
    at = std::prev(txn);
  } else if (txn != object.begin() && std::prev(txn)->first > key) {
    at = object.lower_bound(key);
    if (at == object.end() || at->first != key) at = object.emplace_hint(at, key, Value());
  } else {
    at = object.emplace_hint(txn, key, Value());
  }
  assign_hex(at->second.data, digest);
}

}  // namespace

void Tagger::Scratch::hold_stamps(bool stamp_root) {
  const std::size_t first = stamp_root ? 0 : 1;
  const std::size_t count = visits.size() - first;
  stamped.assign(visits.begin() + static_cast<std::ptrdiff_t>(first), visits.end());
  if (obj_ids.size() < count) obj_ids.resize(count);
  for (std::size_t i = 0; i < count; ++i) {
    assign_hex(obj_ids[i].data, {digests.data() + (first + i) * hash_bytes, hash_bytes});
  }
  assign_hex(txn_id.data, {digests.data(), hash_bytes});
}

void Tagger::stamp(Object& document) {
  const std::uint64_t hash_bytes = options_.hash_bytes;
  const bool debug = options_.debug;
  Scratch& scratch = *scratch_;
  std::string txn_id;
  append_hex(txn_id, {scratch.digests.data(), hash_bytes});
  const std::size_t seen = scratch.visits.size();
  if (debug) {
    log_line("computed root txn_id=" + txn_id + " objects_seen=" + std::to_string(seen) +
             " obj_digests=" + std::to_string(scratch.digests.size() / hash_bytes));
  }

  const std::string txn_key(kTxnIdKey);
  const std::string obj_key(kObjIdKey);
  std::uint64_t stamped = 0;
  for (std::size_t i = 0; i < seen; ++i) {
    Object& object = *scratch.visits[i];
    if (!options_.stamp_root && &object == &document) continue;
    const auto txn = assign_member(object, txn_key, txn_id);
    if (scratch.digests.size() < (i + 1) * hash_bytes) {
      throw Error(ErrorCode::Internal, "Tagger: missing object digest during stamping");
    }
    const std::span<const std::uint8_t> digest(scratch.digests.data() + i * hash_bytes,
                                               hash_bytes);
    assign_obj_id(object, txn, obj_key, digest);
    ++stamped;
    if (debug && stamped <= 5) {
      std::string obj_id;
      append_hex(obj_id, digest);
      log_line("stamped object #" + std::to_string(stamped) + " __obj_id=" + obj_id);
    }
  }
  if (debug) {
    log_line("end modify: stamped=" + std::to_string(stamped) +
             " txn_id_key=__txn_id obj_id_key=__obj_id");
  }
}

TaggerStamps StampAccess::Compute(Tagger& tagger, Object& document) {
  if (tagger.options_.debug) throw Error(ErrorCode::BadArgument, "StampAccess: not in debug mode");
  // The previous document's stamps are no longer read.
  if (tagger.scratch_) tagger.scratch_->trim();
  Tagger::Scratch& scratch = tagger.digest(document);
  scratch.hold_stamps(tagger.options_.stamp_root);
  return TaggerStamps{scratch.stamped, {scratch.obj_ids.data(), scratch.stamped.size()},
                      &scratch.txn_id};
}

void StampAccess::Write(Tagger& tagger, Object& document) { tagger.stamp(document); }

}  // namespace shredder
