#pragma once

// Seeded random documents for the differential and model tests. One generator, so that every
// such test draws from the same kinds of values, keys and shapes; the knobs say what a test's
// subject needs (keys that meet, paths that keep their shape, room for refusals).

#include <cstdint>
#include <cstdio>
#include <cstring>
#include <iterator>
#include <limits>
#include <map>
#include <random>
#include <string>
#include <utility>
#include <variant>
#include <vector>

#include <nlohmann/json.hpp>

#include "shredder/value.h"

namespace shredder::testing {

/// The document value of a JSON tree: integers stay integers (past int64: doubles, as the
/// JSON reader reads them), strings keep their bytes, ill-formed or not.
inline Value ToValue(const nlohmann::json& json) {
  using Type = nlohmann::json::value_t;
  switch (json.type()) {
    case Type::null: return Value();
    case Type::boolean: return Value(json.get<bool>());
    case Type::number_integer: return Value(json.get<std::int64_t>());
    case Type::number_unsigned: {
      const auto n = json.get<std::uint64_t>();
      if (n <= static_cast<std::uint64_t>(std::numeric_limits<std::int64_t>::max())) {
        return Value(static_cast<std::int64_t>(n));
      }
      return Value(static_cast<double>(n));
    }
    case Type::number_float: return Value(json.get<double>());
    case Type::string: return Value(json.get<std::string>());
    case Type::array: {
      Array array;
      for (const auto& element : json) array.push_back(ToValue(element));
      return Value(std::move(array));
    }
    default: {
      Object object;
      for (const auto& [key, member] : json.items()) object.emplace(key, ToValue(member));
      return Value(std::move(object));
    }
  }
}

enum class Pick { Null, Bool, Int, Double, String, Array, Object };

struct DocumentKnobs {
  // Keys: drawn from `keys`, the last `rare_keys` of them only with chance `rare_key_chance`;
  // with no keys, random strings as `strings` makes them. With `each_key_once`, every key
  // instead joins each object with chance 1/2, so that documents overlap and miss members.
  std::vector<std::string> keys;
  std::size_t rare_keys = 0;
  double rare_key_chance = 0;
  bool each_key_once = false;

  // Members per object: [0, members_at_root] at the root, [0, members] below it and
  // [0, members_deep] from `deep_from` levels down.
  int members_at_root = 4;
  int members = 4;
  int members_deep = 1;
  int deep_from = 4;

  // Values: the weights of each kind; from `scalars_from` levels down no containers.
  std::map<Pick, int> weights = {{Pick::Null, 1},  {Pick::Bool, 1},  {Pick::Int, 1},
                                 {Pick::Double, 1}, {Pick::String, 1}, {Pick::Array, 1},
                                 {Pick::Object, 1}};
  int scalars_from = 6;
  // Arrays: [0, max_array] elements; at chance `agreeing_arrays` all objects or all of one
  // scalar kind (but among scalars now and then, at chance `stray_element`, one of another
  // kind or a nested array, which the shredder refuses), else each of its own.
  int max_array = 4;
  double agreeing_arrays = 0;
  double stray_element = 0;
  // Any value is null at this chance, whatever its path planned.
  double nulls = 0;

  // Scalars: `small_ints` integers in [-small_ints, small_ints] (0: any 64 bits) and
  // `plain_doubles` a few short ones (false: edges and any bit pattern, NaN among them);
  // `edge_numbers` the chance of an edge (the int64 ends, 2^64 - 1, beyond 64 bits, -0.0,
  // the double ends). Strings from `texts`, or (empty) from pieces of every UTF-8 length,
  // escapes and control bytes, with ill-formed UTF-8 at chance `ill_formed`.
  int small_ints = 0;
  bool plain_doubles = false;
  double edge_numbers = 0.25;
  std::vector<std::string> texts;
  double ill_formed = 0;

  // Stable paths: each path (and its array elements) keeps the kind it was first given, so
  // that documents mostly agree and sometimes conflict: another scalar kind at chance
  // `path_breaks`, a scalar for a container or the other way round at `shape_breaks`.
  bool stable_paths = false;
  double path_breaks = 0;
  double shape_breaks = 0;

  // Now and then (chance `deep_chance`) a chain of [deep_min, deep_max] objects under
  // `deep_key` below the root.
  double deep_chance = 0;
  int deep_min = 20;
  int deep_max = 60;
  std::string deep_key = "d";
};

class RandomDocuments {
 public:
  using Json = nlohmann::json;

  RandomDocuments(std::uint64_t seed, DocumentKnobs knobs)
      : random_(seed), knobs_(std::move(knobs)) {}

  Json Document() {
    Json root = MakeObject("", 0);
    if (Chance(knobs_.deep_chance)) {
      Json* at = &root;
      for (int i = Uniform(knobs_.deep_min, knobs_.deep_max); i > 0; --i) {
        at = &((*at)[knobs_.deep_key] = Json::object());
      }
      (*at)["leaf"] = Uniform(0, 9);
    }
    return root;
  }

  /// A document as the engine's own value type.
  Object Dom() { return std::get<Object>(ToValue(Document()).data); }

  /// JSON text of `json`; each character of a key or string is written as a \u escape at
  /// chance `escapes` (beyond the BMP as a surrogate pair), so that readers meet the same
  /// key spelled two ways.
  std::string Text(const Json& json, double escapes = 0) {
    if (escapes == 0) return json.dump();
    std::string out;
    Write(json, escapes, out);
    return out;
  }

  bool Chance(double p) { return p > 0 && std::bernoulli_distribution(p)(random_); }
  int Uniform(int lo, int hi) { return std::uniform_int_distribution<int>(lo, hi)(random_); }
  std::mt19937_64& engine() { return random_; }

 private:
  Json MakeObject(const std::string& path, int depth) {
    Json object = Json::object();
    if (knobs_.each_key_once) {
      for (const std::string& key : knobs_.keys) {
        if (Chance(0.5)) object[key] = MakeValue(path + "/" + key, depth + 1);
      }
      return object;
    }
    const int most = depth == 0                   ? knobs_.members_at_root
                     : depth >= knobs_.deep_from ? knobs_.members_deep
                                                  : knobs_.members;
    for (int i = Uniform(0, most); i > 0; --i) {
      const std::string key = Key();
      object[key] = MakeValue(path + "/" + key, depth + 1);
    }
    return object;
  }

  std::string Key() {
    const auto& keys = knobs_.keys;
    if (keys.empty()) return String();
    const std::size_t common = keys.size() - knobs_.rare_keys;
    if (knobs_.rare_keys == 0 || !Chance(knobs_.rare_key_chance)) {
      return keys[Uniform(0, static_cast<int>(common) - 1)];
    }
    return keys[common + Uniform(0, static_cast<int>(knobs_.rare_keys) - 1)];
  }

  Pick Draw(int depth) {
    int total = 0;
    for (const auto& [pick, weight] : knobs_.weights) {
      if (depth < knobs_.scalars_from || pick < Pick::Array) total += weight;
    }
    int roll = Uniform(1, total);
    for (const auto& [pick, weight] : knobs_.weights) {
      if (depth >= knobs_.scalars_from && pick >= Pick::Array) continue;
      if ((roll -= weight) <= 0) return pick;
    }
    return Pick::Null;
  }

  Pick Planned(const std::string& path, Pick pick) {
    if (!knobs_.stable_paths) return pick;
    const auto [at, added] = plan_.try_emplace(path, pick);
    if (added) return pick;
    const bool same_shape = (at->second < Pick::Array) == (pick < Pick::Array);
    return Chance(same_shape ? knobs_.path_breaks : knobs_.shape_breaks) ? pick : at->second;
  }

  Json MakeValue(const std::string& path, int depth) {
    if (Chance(knobs_.nulls)) return nullptr;
    const Pick pick = Planned(path, Draw(depth));
    if (pick == Pick::Object) return MakeObject(path, depth);
    if (pick != Pick::Array) return Scalar(pick);
    Json array = Json::array();
    const std::string elements = path + "[]";
    if (!Chance(knobs_.agreeing_arrays)) {
      for (int n = Uniform(0, knobs_.max_array); n > 0; --n) {
        array.push_back(MakeValue(elements, depth + 1));
      }
      return array;
    }
    // Arrays in arrays are refused: the elements that agree are objects or scalars.
    Pick element = Planned(elements, Draw(depth + 1));
    if (element == Pick::Array) element = Pick::Object;
    const Json scalar = Scalar(element);
    for (int n = Uniform(0, knobs_.max_array); n > 0; --n) {
      if (element == Pick::Object) {
        array.push_back(MakeObject(elements, depth));
      } else if (Chance(knobs_.stray_element)) {
        array.push_back(Chance(0.5) ? Json::array({1}) : Scalar(Draw(knobs_.scalars_from)));
      } else {
        array.push_back(Chance(0.9) ? scalar : Scalar(element));
      }
    }
    return array;
  }

  Json Scalar(Pick pick) {
    switch (pick) {
      case Pick::Null: return nullptr;
      case Pick::Bool: return Chance(0.5);
      case Pick::Int: return Integer();
      case Pick::Double: return Double();
      default: return String();
    }
  }

  Json Integer() {
    if (Chance(knobs_.edge_numbers)) {
      switch (Uniform(0, 5)) {
        case 0: return std::numeric_limits<std::int64_t>::max();
        case 1: return std::numeric_limits<std::int64_t>::min();
        case 2: return std::numeric_limits<std::uint64_t>::max() - Uniform(0, 5);
        case 3: return Json::parse("123456789012345678901234567890");  // past 64 bits
        default: return Uniform(-1, 1);
      }
    }
    if (knobs_.small_ints > 0) return Uniform(-knobs_.small_ints, knobs_.small_ints);
    return static_cast<std::int64_t>(random_()) >> Uniform(0, 63);
  }

  double Double() {
    static const double kEdges[] = {0.0, -0.0, 0.1, 100.0, 1e16, 1e-5, 1e21, 5e-324, 1e300,
                                    -2.5e-308, std::numeric_limits<double>::max(), 2.5, -7.0};
    static const double kNonFinite[] = {std::numeric_limits<double>::quiet_NaN(),
                                        std::numeric_limits<double>::infinity(),
                                        -std::numeric_limits<double>::infinity()};
    if (Chance(knobs_.edge_numbers)) {
      if (!knobs_.plain_doubles && Uniform(0, 4) == 0) return kNonFinite[Uniform(0, 2)];
      return kEdges[Uniform(0, 12)];
    }
    if (knobs_.plain_doubles) return Uniform(-8000, 8000) / 16.0;
    // Any bit pattern: subnormals, NaN payloads and every exponent.
    const std::uint64_t bits = random_();
    double d;
    std::memcpy(&d, &bits, sizeof d);
    return d;
  }

  // Plain words, escapes, control bytes, byte 127, UTF-8 of every length, and at chance
  // `ill_formed` an ill-formed sequence (a lone continuation byte, a truncated lead, an
  // overlong form, a surrogate).
  std::string String() {
    if (!knobs_.texts.empty()) return knobs_.texts[Uniform(0, knobs_.texts.size() - 1)];
    static const char* const kPieces[] = {
        "a", "key", "_", "hello world", "\"", "\\", "/", "\b", "\f", "\n", "\r", "\t", "\x01",
        "\x1f", "\x7f", "\xC3\xA9", "\xE6\x9D\xB1", "\xF0\x9F\x98\x80", "12345678",
        "abcdefghijklmnop", "__txn_id", "__idx"};
    static const char* const kIllFormed[] = {"\x80", "\xC3", "\xC0\xAF", "\xED\xA0\x80",
                                             "\xF5\x80\x80\x80"};
    std::string s;
    for (int i = Uniform(0, 6); i > 0; --i) {
      if (Chance(knobs_.ill_formed)) {
        s += kIllFormed[Uniform(0, 4)];
      } else if (Chance(0.02)) {
        s.push_back('\0');
      } else {
        s += kPieces[Uniform(0, std::size(kPieces) - 1)];
      }
    }
    return s;
  }

  void Write(const Json& json, double escapes, std::string& out) {
    if (json.is_object()) {
      out += '{';
      bool first = true;
      for (const auto& [key, member] : json.items()) {
        if (!first) out += ',';
        first = false;
        Quote(key, escapes, out);
        out += ':';
        Write(member, escapes, out);
      }
      out += '}';
    } else if (json.is_array()) {
      out += '[';
      for (std::size_t i = 0; i < json.size(); ++i) {
        if (i) out += ',';
        Write(json[i], escapes, out);
      }
      out += ']';
    } else if (json.is_string()) {
      Quote(json.get_ref<const std::string&>(), escapes, out);
    } else {
      out += json.dump();
    }
  }

  // Well-formed UTF-8 only: a code point is escaped whole.
  void Quote(const std::string& text, double escapes, std::string& out) {
    const std::string plain = Json(text).dump();
    std::size_t i = 1;
    out += '"';
    while (i + 1 < plain.size()) {
      const unsigned char lead = plain[i];
      const int length = lead < 0x80 ? 1 : lead < 0xE0 ? 2 : lead < 0xF0 ? 3 : 4;
      if (lead == '\\' || !Chance(escapes)) {
        const std::size_t take = lead == '\\' ? (plain[i + 1] == 'u' ? 6 : 2) : length;
        out.append(plain, i, take);
        i += take;
        continue;
      }
      std::uint32_t code = length == 1 ? lead : lead & (0xFF >> (length + 1));
      for (int k = 1; k < length; ++k) code = (code << 6) | (plain[i + k] & 0x3F);
      i += length;
      char escaped[16];
      if (code >= 0x10000) {
        code -= 0x10000;
        std::snprintf(escaped, sizeof escaped, "\\u%04x\\u%04x", 0xD800 + (code >> 10),
                      0xDC00 + (code & 0x3FF));
      } else {
        std::snprintf(escaped, sizeof escaped, "\\u%04x", code);
      }
      out += escaped;
    }
    out += '"';
  }

  std::mt19937_64 random_;
  DocumentKnobs knobs_;
  std::map<std::string, Pick> plan_;
};

}  // namespace shredder::testing
