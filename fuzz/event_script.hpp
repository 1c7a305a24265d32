// What the fuzz targets that play out an order of events share: the input
// read as a script of steps, and how a broken promise ends the run.
#pragma once

#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstdlib>

namespace qv::fuzz {

// A promise the code under test broke: the input that led here is saved.
[[noreturn]] inline void Broken(const char* what) {
  std::fprintf(stderr, "broken: %s\n", what);
  std::abort();
}

// The fuzzer's bytes as steps: a byte, or a 16-bit amount; zeros once the
// bytes run out.
class Script {
 public:
  Script(const std::uint8_t* data, std::size_t size) : data_(data), size_(size) {}
  bool More() const { return at_ < size_; }
  std::uint8_t Byte() { return at_ < size_ ? data_[at_++] : 0; }
  std::size_t Amount() {
    const std::size_t high = Byte();
    return high << 8 | Byte();
  }

 private:
  const std::uint8_t* data_;
  std::size_t size_;
  std::size_t at_ = 0;
};

}  // namespace qv::fuzz
