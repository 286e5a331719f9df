#pragma once

// Runs the fast JSON reader and nlohmann/json's strict SAX parser on the same text and
// compares what they report, for the tests and the fuzz harnesses.

#include <cstdint>
#include <cstring>
#include <string>
#include <string_view>

#include <nlohmann/json.hpp>

#include "codecs/json_reader_internal.h"
#include "shredder/value.h"

namespace shredder::json_text {

using Json = nlohmann::json;

/// Writes every event as a tag and a length-prefixed body, numbers with their type and exact
/// bits, so that two different series of events never write the same text.
class EventLog {
 public:
  bool null() { return Add('n', ""); }
  bool boolean(bool b) { return Add('b', b ? "true" : "false"); }
  bool number_integer(std::int64_t i) { return Add('i', std::to_string(i)); }
  bool number_unsigned(std::uint64_t u) { return Add('u', std::to_string(u)); }
  bool number_float(double d, const std::string&) {
    std::uint64_t bits;
    std::memcpy(&bits, &d, sizeof bits);
    return Add('d', std::to_string(bits));
  }
  bool string(std::string& s) { return Add('s', s); }
  bool string(std::string_view s) { return Add('s', s); }
  bool binary(Json::binary_t&) { return Add('x', ""); }
  bool start_object(std::size_t) { return Add('{', ""); }
  bool key(std::string& k) { return Add('k', k); }
  bool key(std::string_view k) { return Add('k', k); }
  bool end_object() { return Add('}', ""); }
  bool start_array(std::size_t) { return Add('[', ""); }
  bool end_array() { return Add(']', ""); }
  template <class Exception>
  bool parse_error(std::size_t, const std::string&, const Exception&) {
    failed = true;
    return false;
  }

  std::string text;
  bool failed = false;

 private:
  bool Add(char tag, std::string_view body) {
    text.push_back(tag);
    text.append(std::to_string(body.size()));
    text.push_back(':');
    text.append(body);
    return true;
  }
};

/// What the two readers made of one text.
struct Outcome {
  bool fast_accepted;
  bool library_accepted;
  bool same_events;
};

inline Outcome Compare(std::string_view text, std::size_t max_depth = kMaxNestingDepth) {
  EventLog fast;
  const bool fast_accepted = FastJsonReader<EventLog>(text, fast).Read(max_depth);
  EventLog library;
  Json::sax_parse(text.data(), text.data() + text.size(), &library,
                  nlohmann::detail::input_format_t::json, /*strict=*/true,
                  /*ignore_comments=*/false);
  return {fast_accepted, !library.failed, fast.text == library.text};
}

}  // namespace shredder::json_text
