#include "shredder/integer_literals.h"

#include <utility>

namespace shredder {

const IntegerLiterals* IntegerLiterals::member(std::string_view key) const noexcept {
  if (members_.empty()) return nullptr;
  const auto it = members_.find(key);
  return it == members_.end() ? nullptr : &it->second;
}

const IntegerLiterals* IntegerLiterals::element(std::size_t index) const noexcept {
  if (elements_.empty()) return nullptr;
  const auto it = elements_.find(index);
  return it == elements_.end() ? nullptr : &it->second;
}

IntegerLiterals* IntegerLiterals::member(std::string_view key) noexcept {
  return const_cast<IntegerLiterals*>(std::as_const(*this).member(key));
}

IntegerLiterals* IntegerLiterals::element(std::size_t index) noexcept {
  return const_cast<IntegerLiterals*>(std::as_const(*this).element(index));
}

IntegerLiterals& IntegerLiterals::add_member(std::string_view key) {
  auto it = members_.find(key);
  if (it == members_.end()) it = members_.emplace(std::string(key), IntegerLiterals()).first;
  return it->second;
}

IntegerLiterals& IntegerLiterals::add_element(std::size_t index) { return elements_[index]; }

void IntegerLiterals::set_member(std::string_view key, const IntegerLiterals* literals) {
  if (literals == nullptr || literals->empty()) {
    erase_member(key);
  } else {
    add_member(key) = *literals;
  }
}

void IntegerLiterals::erase_member(std::string_view key) {
  if (members_.empty()) return;
  const auto it = members_.find(key);
  if (it != members_.end()) members_.erase(it);
}

bool IsIntegerToken(std::string_view text) noexcept {
  return !text.empty() && text.find_first_of(".eE") == std::string_view::npos;
}

}  // namespace shredder
