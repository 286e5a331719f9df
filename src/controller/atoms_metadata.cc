#include "controller/atoms_metadata.h"
#include "shredder/error.h"

#include <algorithm>
#include <stdexcept>
#include <unordered_map>
#include <utility>

#include <exception>
#include <memory>
#include <string>
#include <variant>

#include "arrow/type.h"
#include "arrow/util/key_value_metadata.h"
#include "arrow/type.h"
#include "shredder/column_names.h"
#include "shredder/json_writer.h"
#include "shredder/atoms_schema.h"
#include "shredder/serialization.h"

namespace shredder::controller_internal {

std::shared_ptr<const arrow::KeyValueMetadata> ColumnMetadata(
    const shredding::NameInfo& info) {
  if (info.ambiguous) return nullptr;
  std::string text = "[";
  // A rescue column's keys are its object's: the rescue member itself is implied by the role.
  const std::size_t count = info.keys.size() - (info.role == ColumnRole::Rest ? 1 : 0);
  try {
    for (std::size_t i = 0; i < count; ++i) {
      if (i > 0) text.push_back(',');
      json_writer::AppendQuoted(text, info.keys[i], json_writer::Dialect::Json);
    }
  } catch (const std::exception&) {
    return nullptr;
  }
  text.push_back(']');
  std::vector<std::string> keys{std::string(kKeysField)};
  std::vector<std::string> values{std::move(text)};
  if (info.role != ColumnRole::Value) {
    keys.emplace_back(kRoleField);
    values.emplace_back(info.role == ColumnRole::Index ? kIndexRole : kRestRole);
  }
  return arrow::key_value_metadata(std::move(keys), std::move(values));
}

std::shared_ptr<const arrow::KeyValueMetadata> DocumentMetadata() {
  static const auto metadata = arrow::key_value_metadata(
      {std::string(kKeysField), std::string(kRoleField)}, {"[]", std::string(kDocumentRole)});
  return metadata;
}

ColumnPath ReadColumnPath(const arrow::Field& field) {
  ColumnPath path;
  const std::shared_ptr<const arrow::KeyValueMetadata>& metadata = field.metadata();
  if (metadata == nullptr) return path;
  const int keys_at = metadata->FindKey(std::string(kKeysField));
  if (keys_at < 0) return path;
  const int role_at = metadata->FindKey(std::string(kRoleField));
  const std::string role = role_at < 0 ? std::string() : metadata->value(role_at);
  if (role == kDocumentRole) {
    path.document = true;
    return path;
  }
  if (role == kIndexRole) {
    path.role = ColumnRole::Index;
  } else if (role == kRestRole) {
    path.role = ColumnRole::Rest;
  } else if (!role.empty()) {
    return path;  // a role of a later release: read by the name
  }
  try {
    static const std::unique_ptr<Serialization> json = MakeSerialization(SerializationFormat::Json);
    const Object holder = json->ToDom("{\"k\":" + metadata->value(keys_at) + "}");
    const auto* keys = std::get_if<Array>(&holder.begin()->second.data);
    if (keys == nullptr) return path;
    for (const Value& key : *keys) {
      const auto* text = std::get_if<std::string>(&key.data);
      if (text == nullptr) return ColumnPath{};
      path.keys.push_back(*text);
    }
  } catch (const std::exception&) {
    return ColumnPath{};
  }
  if (path.role == ColumnRole::Rest) path.keys.emplace_back(kRestKey);
  path.keyed = true;
  return path;
}

}  // namespace shredder::controller_internal

namespace shredder {

std::vector<int> ColumnOwners(const arrow::Schema& fields) {
  struct Name {
    std::vector<KeyList> candidates;
    std::vector<int> fields;  // the field of every candidate
  };
  std::vector<std::string> order;
  std::unordered_map<std::string, Name> names;
  for (int i = 0; i < fields.num_fields(); ++i) {
    const arrow::Field& field = *fields.field(i);
    controller_internal::ColumnPath path = controller_internal::ReadColumnPath(field);
    if (!path.keyed) continue;
    auto [it, added] = names.try_emplace(field.name());
    if (added) order.push_back(field.name());
    KeyList candidate{std::move(path.keys), path.role};
    if (std::find(it->second.candidates.begin(), it->second.candidates.end(), candidate) ==
        it->second.candidates.end()) {
      it->second.candidates.push_back(std::move(candidate));
      it->second.fields.push_back(i);
    }
  }
  std::vector<int> owners;
  for (const std::string& name : order) {
    const Name& shared = names.at(name);
    if (shared.candidates.size() < 2) continue;
    owners.push_back(shared.fields[OwnerOf(name, shared.candidates)]);
  }
  return owners;
}

std::unordered_map<std::string, std::string> OwnedNames(const arrow::Schema& owners) {
  std::unordered_map<std::string, std::string> owned;
  for (const auto& field : owners.fields()) {
    const controller_internal::ColumnPath path = controller_internal::ReadColumnPath(*field);
    if (!path.keyed) {
      throw Error(ErrorCode::BadArgument,
                  "owners: column " + field->name() + " carries no key list", field->name());
    }
    if (!owned.emplace(field->name(), KeyListCode(path.keys, path.role)).second) {
      throw Error(ErrorCode::BadArgument, "owners: column " + field->name() + " is given twice",
                  field->name());
    }
  }
  return owned;
}

}  // namespace shredder
