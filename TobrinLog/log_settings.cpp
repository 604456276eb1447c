#include "log_settings.h"

#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "server_messages.h"

namespace {

// Replaces *slot with a copy of `text`; the earlier copy is freed first, so a failed
// allocation leaves the setting empty.
int CopySetting(char** slot, const char* text, const char* setter) {
  std::free(*slot);
  size_t size = std::strlen(text) + 1;
  *slot = static_cast<char*>(std::malloc(size));
  if (!*slot) {
    std::fprintf(stderr, kOutOfMemoryFormat, setter);
    return 0;
  }
  std::memcpy(*slot, text, size);
  return 1;
}

}  // namespace

LogSettings::~LogSettings() {
  std::free(pipe_name_);
  std::free(log_file_name_);
  std::free(external_cmd_);
}

int LogSettings::SetPipeName(const char* name) {
  return CopySetting(&pipe_name_, name, "SetPipeName");
}

int LogSettings::SetLogFileName(const char* name) {
  return CopySetting(&log_file_name_, name, "SetLogFileName");
}

int LogSettings::SetExternalCmd(const char* command) {
  if (!CopySetting(&external_cmd_, command, "ExternalCmd")) return 0;
  command_mode_ = true;
  return 1;
}
