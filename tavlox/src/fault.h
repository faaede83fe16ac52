#pragma once

#include <cstdint>
#include <source_location>
#include <stdexcept>
#include <string>

namespace tavlox {

// A broken precondition or impossible state. It stops the whole call that met it; the
// Python boundary reports it (thread, source location, message) and raises it as a panic.
class Fault : public std::runtime_error {
 public:
  explicit Fault(const std::string& message,
                 std::source_location location = std::source_location::current())
      : std::runtime_error(message), location_(location) {}

  const std::source_location& location() const noexcept { return location_; }

 private:
  std::source_location location_;
};

[[noreturn]] inline void fail(const std::string& message,
                              std::source_location location = std::source_location::current()) {
  throw Fault(message, location);
}

// Stops with an index-out-of-range fault unless index < length.
inline void check_index(uint64_t index, uint64_t length,
                        std::source_location location = std::source_location::current()) {
  if (index >= length) {
    fail("index out of bounds: the len is " + std::to_string(length) + " but the index is " +
             std::to_string(index),
         location);
  }
}

}  // namespace tavlox
