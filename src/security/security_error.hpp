// The error of the security decoders: one fixed text per failure, quoted by the callers' logs.
#pragma once

#include <string>

namespace nimbrel::security {

struct SecurityError {
  const char* text = "";
  friend bool operator==(const SecurityError& a, const SecurityError& b) {
    return std::string(a.text) == b.text;
  }
};

inline std::string to_string(const SecurityError& error) {
  return error.text;
}

}  // namespace nimbrel::security
