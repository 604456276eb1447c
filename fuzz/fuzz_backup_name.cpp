// Backup names. Input: the backup number (4 bytes), the buffer size (2 bytes), then the log
// file name. The name must be built as rotation documents it, into a buffer exactly as large
// as stated, or refused when it does not fit.
#include <cstdint>
#include <cstring>
#include <memory>
#include <string>

#include "fuzz_input.h"
#include "log_writer.h"

namespace {

std::string Reference(const std::string& name, int n) {
  size_t file = name.find_last_of(platform::kDirectorySeparators);
  size_t start = file == std::string::npos ? 0 : file + 1;
  size_t dot = name.rfind('.');
  if (dot == std::string::npos || dot < start) return name + "." + std::to_string(n);
  return name.substr(0, dot) + std::to_string(n) + name.substr(dot);
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  if (size < 6) return 0;
  int32_t n;
  std::memcpy(&n, data, 4);
  size_t capacity = data[4] | (data[5] << 8);
  std::string name(reinterpret_cast<const char*>(data + 6), size - 6);
  name = name.c_str();  // up to the first zero byte, as the writer keeps it
  std::unique_ptr<char[]> out(new char[capacity]);
  std::string expected = Reference(name, n);
  bool fits = MakeBackupName(name.c_str(), n, out.get(), capacity);
  FUZZ_CHECK(fits == (expected.size() < capacity));
  if (fits) FUZZ_CHECK(expected == out.get());
  return 0;
}
