// What the log server's command line sets: the pipe, the output and the rotation limits.
#pragma once

#include <cstdint>

inline constexpr int32_t kDefaultSizeLimit = 5242880;
inline constexpr int32_t kDefaultNumBackups = 10;

/// The server's settings. Texts are copies of their own, null until set.
class LogSettings {
 public:
  LogSettings() = default;
  /// Frees the copied texts.
  ~LogSettings();
  LogSettings(const LogSettings&) = delete;
  LogSettings& operator=(const LogSettings&) = delete;

  /// Each setter copies its text, replacing an earlier copy; 0 when out of memory, after
  /// printing the message.
  int SetPipeName(const char* name);
  int SetLogFileName(const char* name);
  /// Also switches command mode on, for good.
  int SetExternalCmd(const char* command);
  void SetNumBackups(int32_t count) { num_backups_ = count; }
  void SetSizeLimit(int32_t bytes) { size_limit_ = bytes; }

  const char* PipeName() const { return pipe_name_; }
  const char* LogFileName() const { return log_file_name_; }
  const char* ExternalCmd() const { return external_cmd_; }
  /// True once SetExternalCmd was called: the output is a command, not the log file.
  bool CommandMode() const { return command_mode_; }
  int32_t NumBackups() const { return num_backups_; }
  /// The log file rotates once a write takes it over this many bytes.
  int32_t SizeLimit() const { return size_limit_; }

 private:
  char* pipe_name_ = nullptr;
  char* log_file_name_ = nullptr;
  char* external_cmd_ = nullptr;
  bool command_mode_ = false;
  int32_t num_backups_ = kDefaultNumBackups;
  int32_t size_limit_ = kDefaultSizeLimit;
};
