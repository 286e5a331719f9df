#include "controller/atoms_metadata.h"

#include <exception>
#include <memory>
#include <string>
#include <variant>

#include "arrow/type.h"
#include "arrow/util/key_value_metadata.h"
#include "codecs/json_writer.h"
#include "shredder/serialization.h"

namespace shredder::controller_internal {

std::shared_ptr<const arrow::KeyValueMetadata> ColumnMetadata(
    const shred_internal::NameInfo& info) {
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
