#pragma once

// What one unshredding call may build, counted over the whole call, so that the memory a
// table can make us allocate stays proportional to its size.

#include <cstdint>
#include <limits>
#include <stdexcept>
#include <string>
#include <string_view>

#include "shredder/error.h"

namespace shredder::unshredding {

class UnshredBudget {
 public:
  /// Sets the limits for `rows` rows of which `valued_columns` columns hold a value, whose
  /// names take `name_bytes` bytes. Columns of nulls only may cost nothing to hold, so they
  /// do not widen the limits.
  void Set(std::uint64_t rows, std::uint64_t valued_columns, std::uint64_t name_bytes) {
    const std::uint64_t cells = Product(rows, valued_columns);
    slot_limit_ = Sum(cells, kSlotAllowance);
    member_limit_ = Sum(Sum(kMemberAllowance, Product(kMemberBytesPerCell, cells)), name_bytes);
    Reset();
  }

  /// Starts counting again from nothing.
  void Reset() {
    slots_ = 0;
    member_bytes_ = 0;
  }

  /// Counts `count` new array slots of the column `name`; fails before they are allocated.
  void TakeSlots(std::uint64_t count, std::string_view name) {
    if (count > slot_limit_ - slots_) {
      throw Error(ErrorCode::BadAtoms,
                  "Shredder::Unshred: array index out of range at " + std::string(name),
                  std::string(name));
    }
    slots_ += count;
  }

  /// Counts a new member whose key has `key_bytes` bytes.
  void TakeMember(std::uint64_t key_bytes) {
    const std::uint64_t cost = kMemberNodeBytes + key_bytes;
    if (cost > member_limit_ - member_bytes_) {
      throw Error(
          ErrorCode::TooLarge,
          "Shredder::Unshred: documents too large to rebuild: members would take more than " +
          std::to_string(member_limit_) + " bytes");
    }
    member_bytes_ += cost;
  }

 private:
  static constexpr std::uint64_t kMax = std::numeric_limits<std::uint64_t>::max();
  // Array slots that a call may create beyond one per input cell.
  static constexpr std::uint64_t kSlotAllowance = std::uint64_t{1} << 20;
  // Members a call may create, counted in estimated bytes (a map node and its value, plus
  // the key): an allowance, kMemberBytesPerCell per input cell and the bytes of the column
  // names. Documents repeat their columns' paths, so a few long names over many rows, or
  // deep names over many documents, would otherwise rebuild far more than the table holds.
  static constexpr std::uint64_t kMemberAllowance = std::uint64_t{1} << 28;
  static constexpr std::uint64_t kMemberBytesPerCell = 512;
  static constexpr std::uint64_t kMemberNodeBytes = 128;

  static std::uint64_t Product(std::uint64_t a, std::uint64_t b) {
    if (a != 0 && b > kMax / a) return kMax;
    return a * b;
  }
  static std::uint64_t Sum(std::uint64_t a, std::uint64_t b) {
    return a > kMax - b ? kMax : a + b;
  }

  std::uint64_t slot_limit_ = 0;
  std::uint64_t slots_ = 0;
  std::uint64_t member_limit_ = 0;
  std::uint64_t member_bytes_ = 0;
};

}  // namespace shredder::unshredding
