// Win32: UTF-8 names as UTF-16, at the edge where the programs meet the wide calls.
#include <cstdlib>

#include "platform/win32/native.h"

namespace platform {

WideText::WideText(const char* text) {
  int length = MultiByteToWideChar(CP_UTF8, MB_ERR_INVALID_CHARS, text, -1, NULL, 0);
  if (length <= 0) return;
  wide_ = static_cast<wchar_t*>(std::malloc(static_cast<size_t>(length) * sizeof(wchar_t)));
  if (!wide_) {
    SetLastError(ERROR_NOT_ENOUGH_MEMORY);
    return;
  }
  MultiByteToWideChar(CP_UTF8, MB_ERR_INVALID_CHARS, text, -1, wide_, length);
}

WideText::~WideText() { std::free(wide_); }

}  // namespace platform
