// Test support: numbers as they appear in test output and test names.
#pragma once

#include <charconv>
#include <string>

namespace kelda::test {

// The shortest text that reads back as `v`.
inline std::string Text(double v) {
  char text[32];
  return std::string(text, std::to_chars(text, text + sizeof text, v).ptr);
}

// `v` as part of a test name, which allows letters, digits and '_' only:
// -709.78 becomes Minus709_78, 4e-05 becomes 4eMinus05.
inline std::string NamePart(double v) {
  std::string name;
  for (char c : Text(v)) {
    if (c == '-') {
      name += "Minus";
    } else if (c == '.') {
      name += '_';
    } else if (c != '+') {
      name += c;
    }
  }
  return name;
}

}  // namespace kelda::test
