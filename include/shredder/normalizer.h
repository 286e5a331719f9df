#pragma once

#include <cstdint>
#include <memory>
#include <string>
#include <unordered_map>

#include "shredder/dom_modifier.h"

namespace shredder {

/// Keeps the shape (leaf, array, object) of every path consistent across all documents it
/// sees: a lone value at a path that has held an array is wrapped into a one-element array;
/// a scalar where an object was seen, or the reverse, is refused with std::runtime_error
/// "Normalizer shape mismatch at <path> (have <shape>, want <shape>)".
/// Learned shapes persist for the life of the instance.
class Normalizer : public DomModifier {
 public:
  enum class Shape : std::uint8_t { Leaf = 0, Array = 1, Object = 2 };

  Normalizer() = default;
  ~Normalizer() override;
  void modify(Object& document) override;

 private:
  struct Node;
  // Implementation members are declared in the source file's view of Node.
  std::unique_ptr<Node> root_;
};

}  // namespace shredder
