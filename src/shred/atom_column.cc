#include <stdexcept>
#include <utility>

#include "shredder/atom_column.h"
#include "shredder/error.h"

namespace shredder {
namespace {

// Both owning columns keep their atoms in push order and differ only in what they accept.
template <IColumn::Kind kKind>
class OwningColumn final : public IColumn {
 public:
  explicit OwningColumn(std::uint64_t capacity) { atoms_.reserve(capacity); }

  Kind kind() const override { return kKind; }
  std::uint64_t size() const override { return atoms_.size(); }

  Atom at(std::uint64_t i) const override {
    if (i >= atoms_.size()) throw Error(ErrorCode::BadArgument, kAtText);
    return atoms_[i];
  }

  void push(Atom atom) override {
    if (!accepts(atom)) throw Error(ErrorCode::BadArgument, kPushText);
    atoms_.push_back(std::move(atom));
  }

  std::span<Atom> storage() override { return atoms_; }

 private:
  static constexpr bool kIsString = kKind == IColumn::Kind::String;
  static constexpr const char* kAtText = kIsString ? "StringColumn::at" : "ScalarColumn::at";
  static constexpr const char* kPushText = kIsString
                                               ? "StringColumn::push: only null or string allowed"
                                               : "ScalarColumn::push: string not allowed";

  static bool accepts(const Atom& atom) {
    const bool is_string = std::holds_alternative<std::string>(atom);
    if constexpr (kIsString) return is_string || std::holds_alternative<std::monostate>(atom);
    return !is_string;
  }

  std::vector<Atom> atoms_;
};

using ScalarColumn = OwningColumn<IColumn::Kind::Scalar>;
using StringColumn = OwningColumn<IColumn::Kind::String>;

}  // namespace

std::unique_ptr<IColumn> IColumn::Make(Kind kind, std::uint64_t capacity) {
  switch (kind) {
    case Kind::Scalar: return std::make_unique<ScalarColumn>(capacity);
    case Kind::String: return std::make_unique<StringColumn>(capacity);
  }
  throw Error(ErrorCode::BadArgument, "IColumn::Make: unknown kind");
}

}  // namespace shredder
