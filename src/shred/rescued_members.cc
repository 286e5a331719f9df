#include "shred/rescued_members.h"
#include "shredder/error.h"

#include <cstddef>
#include <exception>
#include <stdexcept>
#include <string>
#include <string_view>
#include <utility>
#include <variant>

#include "shredder/column_names.h"
#include "shredder/serialization.h"

namespace shredder::unshredding {
namespace {

IntegerLiterals FinishObject(Object& object, const JsonSerialization& json,
                             const RescueOptions& options) {
  IntegerLiterals literals;
  for (auto& [key, member] : object) {
    if (auto* child = std::get_if<Object>(&member.data)) {
      IntegerLiterals inner = FinishObject(*child, json, options);
      if (!inner.empty()) literals.add_member(key) = std::move(inner);
    } else if (auto* array = std::get_if<Array>(&member.data)) {
      for (std::size_t i = 0; i < array->size(); ++i) {
        auto* child = std::get_if<Object>(&(*array)[i].data);
        if (child == nullptr) continue;
        IntegerLiterals inner = FinishObject(*child, json, options);
        if (!inner.empty()) literals.add_member(key).add_element(i) = std::move(inner);
      }
    }
  }
  constexpr std::string_view kStampKeys[] = {kTxnIdKey, kObjIdKey};
  if (!options.stamps) {
    for (std::string_view key : kStampKeys) {
      const auto it = object.find(std::string(key));
      if (it != object.end()) object.erase(it);
    }
  }
  if (options.rest_marker == nullptr) return literals;
  const auto marker = object.find(*options.rest_marker);
  if (marker == object.end()) return literals;
  const auto* text = std::get_if<std::string>(&marker->second.data);
  if (text == nullptr) {
    throw Error(ErrorCode::BadAtoms, "Shredder::Unshred: rescued members that are not JSON text");
  }
  Object rest;
  IntegerLiterals rest_literals;
  try {
    rest = json.ToDomWithLiterals(*text, &rest_literals);
  } catch (const std::exception& error) {
    throw Error(ErrorCode::BadAtoms,
                std::string("Shredder::Unshred: unreadable rescued members: ") + error.what());
  }
  object.erase(marker);
  for (auto& [key, value] : rest) {
    if (options.stamps && (key == kStampKeys[0] || key == kStampKeys[1])) continue;
    object.insert_or_assign(key, std::move(value));
    literals.set_member(key, rest_literals.member(key));
  }
  return literals;
}

}  // namespace

IntegerLiterals Finish(Object& document, const RescueOptions& options) {
  static const JsonSerialization json;
  return FinishObject(document, json, options);
}

}  // namespace shredder::unshredding
