#pragma once

// Unshredding written as plainly as its rules read: names split into segments, a stable sort
// of the row numbers per index column (deepest arrays first) and one by the transaction
// column, then every non-null atom placed into its document through `at`, one row after the
// other. No budgets: tables given to it are small.

#include <algorithm>
#include <cmath>
#include <cstdint>
#include <map>
#include <stdexcept>
#include <string>
#include <variant>
#include <vector>

#include "shredder/atom_column.h"
#include "shredder/shredder.h"
#include "shredder/value.h"

namespace shredder::reference {

inline int CompareAtoms(const Atom& a, const Atom& b) {
  if (a.index() != b.index()) return a.index() < b.index() ? -1 : 1;
  switch (a.index()) {
    case 1: return int{std::get<bool>(a)} - int{std::get<bool>(b)};
    case 2: {
      const auto x = std::get<std::int64_t>(a), y = std::get<std::int64_t>(b);
      return (x > y) - (x < y);
    }
    case 3: {
      const double x = std::get<double>(a), y = std::get<double>(b);
      if (x < y) return -1;
      if (y < x) return 1;
      return int{std::isnan(x)} - int{std::isnan(y)};
    }
    case 4: {
      const int c = std::get<std::string>(a).compare(std::get<std::string>(b));
      return (c > 0) - (c < 0);
    }
    default: return 0;
  }
}

inline Value AsValue(const Atom& atom) {
  switch (atom.index()) {
    case 1: return Value(std::get<bool>(atom));
    case 2: return Value(std::get<std::int64_t>(atom));
    case 3: return Value(std::get<double>(atom));
    case 4: return Value(std::get<std::string>(atom));
    default: return Value();
  }
}

inline std::vector<Object> Unshred(const ShredResult& table) {
  const auto& headers = table.headers;
  if (headers.size() != table.columns.size()) {
    throw std::runtime_error("Shredder::Unshred: headers/columns size mismatch");
  }
  std::size_t txn = headers.size();
  for (std::size_t c = 0; c < headers.size() && txn == headers.size(); ++c) {
    if (headers[c] == "root___txn_id") txn = c;
  }
  for (std::size_t c = 0; c < headers.size() && txn == headers.size(); ++c) {
    if (headers[c].ends_with("__txn_id")) txn = c;
  }
  if (txn == headers.size()) throw std::runtime_error("Shredder::Unshred: missing __txn_id column");

  struct IndexRef {
    std::string base;
    std::size_t column;
    std::size_t depth;
  };
  std::vector<IndexRef> refs;
  std::map<std::string, std::size_t> base_paths;
  for (std::size_t c = 0; c < headers.size(); ++c) {
    if (!headers[c].ends_with("__idx")) continue;
    const std::string base = headers[c].substr(0, headers[c].size() - 5);
    refs.push_back(IndexRef{base, c, split_path(base).size()});
    base_paths.try_emplace(base, c);
  }
  const std::uint64_t rows = table.columns[0]->size();
  std::vector<std::uint64_t> order(rows);
  for (std::uint64_t r = 0; r < rows; ++r) order[r] = r;
  auto sort_by = [&](std::size_t column) {
    std::stable_sort(order.begin(), order.end(), [&](std::uint64_t a, std::uint64_t b) {
      return CompareAtoms(table.columns[column]->at(a), table.columns[column]->at(b)) < 0;
    });
  };
  std::vector<IndexRef> passes = refs;
  std::stable_sort(passes.begin(), passes.end(), [](const IndexRef& a, const IndexRef& b) {
    if (a.depth != b.depth) return a.depth > b.depth;
    return a.base < b.base;
  });
  for (const IndexRef& ref : passes) sort_by(ref.column);
  sort_by(txn);

  std::vector<Object> documents;
  Object open;
  Atom open_txn;
  bool is_open = false;
  auto is_container = [](const Value& v) {
    return std::holds_alternative<Array>(v.data) || std::holds_alternative<Object>(v.data);
  };
  for (const std::uint64_t row : order) {
    const Atom t = table.columns[txn]->at(row);
    if (t.index() == 0) throw std::runtime_error("Shredder::Unshred: null __txn_id encountered");
    if (!is_open || CompareAtoms(t, open_txn) != 0) {
      if (is_open) documents.push_back(std::move(open));
      open = Object{};
      open_txn = t;
      is_open = true;
    }
    for (std::size_t c = 0; c < headers.size(); ++c) {
      const Atom v = table.columns[c]->at(row);
      if (v.index() == 0 || headers[c].ends_with("__idx")) continue;
      const std::vector<std::string> segments = split_path(headers[c]);
      const std::size_t m = !segments.empty() && segments[0] == "root" ? 1 : 0;
      if (m >= segments.size()) continue;
      Object* container = &open;
      std::string prefix = "root";
      for (std::size_t s = m; s < segments.size(); ++s) {
        prefix += "_" + segments[s];
        const bool last = s + 1 == segments.size();
        const auto base = base_paths.find(prefix);
        if (base != base_paths.end()) {
          const Atom index = table.columns[base->second]->at(row);
          if (index.index() != 0) {
            if (index.index() != 2 || std::get<std::int64_t>(index) < 0) break;
            const auto i = static_cast<std::size_t>(std::get<std::int64_t>(index));
            Value& member = (*container)[segments[s]];
            if (!std::holds_alternative<Array>(member.data)) member.data = Array{};
            Array& array = std::get<Array>(member.data);
            if (array.size() < i + 1) array.resize(i + 1);
            if (last) {
              if (!is_container(array[i])) array[i] = AsValue(v);
              break;
            }
            if (!std::holds_alternative<Object>(array[i].data)) array[i].data = Object{};
            container = &std::get<Object>(array[i].data);
            continue;
          }
        }
        Value& member = (*container)[segments[s]];
        if (last) {
          if (!is_container(member)) member = AsValue(v);
          break;
        }
        if (!std::holds_alternative<Object>(member.data)) member.data = Object{};
        container = &std::get<Object>(member.data);
      }
    }
  }
  if (is_open) documents.push_back(std::move(open));
  return documents;
}

}  // namespace shredder::reference
