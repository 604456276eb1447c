// Turning a fuzzer's bytes into the inputs of the code under test.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

namespace fuzz {

/// Stops the run with a crash that libFuzzer records, input and all.
#define FUZZ_CHECK(condition)           \
  do {                                  \
    if (!(condition)) __builtin_trap(); \
  } while (0)

/// An argument vector: "program", then the input split at its zero bytes, then a null.
class Arguments {
 public:
  Arguments(const char* program, const uint8_t* data, size_t size) : words_(1) {
    for (size_t i = 0; i < size; ++i) {
      if (data[i] == 0) {
        words_.emplace_back();
      } else {
        words_.back().push_back(static_cast<char>(data[i]));
      }
    }
    pointers_.push_back(const_cast<char*>(program));
    for (std::string& word : words_) pointers_.push_back(&word[0]);
    pointers_.push_back(nullptr);
  }
  int argc() const { return static_cast<int>(pointers_.size()) - 1; }
  char** argv() { return pointers_.data(); }

 private:
  std::vector<std::string> words_;
  std::vector<char*> pointers_;
};

}  // namespace fuzz
