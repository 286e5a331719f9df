#include <cstdio>

#include "modifiers/tagger_internal.h"

namespace shredder::tagger_internal {

void log_line(const std::string& message) {
  std::string line = "[Tagger] ";
  line += message;
  line += '\n';
  std::fwrite(line.data(), 1, line.size(), stderr);
}

}  // namespace shredder::tagger_internal
