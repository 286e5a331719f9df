#pragma once

#include <cstddef>
#include <functional>
#include <map>
#include <string>
#include <string_view>

namespace shredder {

/// The original text of the integers of one document that a `Value` cannot hold (beyond the
/// int64 range), by their place in the document. The document holds the nearest double at
/// each such place; this tree, kept beside it, holds the text the integer was written with, so
/// that exact mode can give it back. A node stands for one value of the document: it holds
/// the text when the value is such an integer, and one child per member key (of an object) or
/// element index (of an array) under which such integers lie.
///
/// Empty, as for nearly every document, it owns no memory. Copying copies deeply.
class IntegerLiterals {
 public:
  /// True when no integer of the value is recorded.
  bool empty() const noexcept {
    return text_.empty() && members_.empty() && elements_.empty();
  }

  /// The text recorded for the value itself, or an empty view.
  std::string_view text() const noexcept { return text_; }
  void set_text(std::string_view text) { text_.assign(text); }

  /// The node of member `key`, or null when nothing is recorded under it.
  const IntegerLiterals* member(std::string_view key) const noexcept;
  /// The node of element `index`, or null when nothing is recorded under it.
  const IntegerLiterals* element(std::size_t index) const noexcept;
  IntegerLiterals* member(std::string_view key) noexcept;
  IntegerLiterals* element(std::size_t index) noexcept;

  /// The node of member `key` (or element `index`), created empty when absent.
  IntegerLiterals& add_member(std::string_view key);
  IntegerLiterals& add_element(std::size_t index);
  /// Replaces what is recorded under member `key` by a copy of `literals` (nothing when it is
  /// null or empty).
  void set_member(std::string_view key, const IntegerLiterals* literals);
  /// Forgets what is recorded under member `key`.
  void erase_member(std::string_view key);

 private:
  // A node is an object or an array, so one of the maps is empty. Empty maps own no memory.
  std::map<std::string, IntegerLiterals, std::less<>> members_;
  std::map<std::size_t, IntegerLiterals> elements_;
  std::string text_;
};

/// Whether `text` is a JSON number token written as an integer (no fraction, no exponent).
bool IsIntegerToken(std::string_view text) noexcept;

}  // namespace shredder
