// Helpers shared by the tests: scratch directories, whole files, and programs run as
// children with every wait bounded.
#pragma once

#include <gtest/gtest.h>

#include <cstdint>
#include <cstdio>
#include <functional>
#include <string>
#include <vector>

#include "platform/socket.h"
#include "tools/support/child_output.h"
#include "tools/support/spawn.h"

namespace test {

/// Paths of the programs under test, as built.
std::string LoggerPath();
std::string TellPath();
std::string PipeClientPath();
/// A tool built from tools/<name>.cpp.
std::string ToolPath(const std::string& name);

/// `format` filled in as printf fills it: the expected bytes of a message with conversions.
std::string Format(const char* format, ...);
/// The control client's usage text for the program name `program`.
std::string TellUsage(const std::string& program);

/// `path` as the command interpreter of the system under test takes it: a Windows program's
/// Unix path (as wine gives it to us) becomes a Z: drive path, since cmd.exe reads a leading
/// "/" as a switch.
std::string CommandWord(const std::string& path);
/// True when pipe names are files in the file system (POSIX sockets), not a namespace.
bool PipesAreFiles();
/// A name part that no other test process uses, now or earlier: the process id with the
/// start time and a counter, since wine hands out process ids again within seconds.
std::string UniqueTag();
/// A program of the host system, or "" when it has none (or is not POSIX).
std::string SystemTool(const std::string& name);

/// A fresh, empty directory for one test, removed with everything in it at destruction.
class ScratchDir {
 public:
  ScratchDir();
  ~ScratchDir();
  const std::string& path() const { return path_; }
  std::string File(const std::string& name) const { return path_ + "/" + name; }

 private:
  std::string path_;
};

/// A tmpfs of its own for one test, for what only such a file system shows: a write cut at a
/// page boundary, a disk filled to its last byte. On Linux it is mounted in a scratch
/// directory (which takes root) and unmounted at destruction; under wine it is a directory of
/// the one that the test run mounts beforehand (tests/CMakeLists.txt), which one test uses at
/// a time.
class SmallDisk {
 public:
  /// Its size: room for a few seconds of a flood of the largest messages.
  static constexpr int kMebibytes = 64;

  SmallDisk() = default;
  ~SmallDisk();
  SmallDisk(const SmallDisk&) = delete;
  SmallDisk& operator=(const SmallDisk&) = delete;

  /// "" once the disk is there, else why it cannot be had (the test then skips).
  std::string Mount();
  std::string File(const std::string& name) const { return point_ + "/" + name; }
  /// Fills the disk with a file of its own, to its last byte but about `room` bytes (rounded
  /// up to whole pages).
  void Fill(int room);
  /// Removes that file again.
  void MakeRoom();

 private:
  ScratchDir dir_;
  std::string point_;
  bool mounted_ = false;
};

/// Paths are UTF-8 on every system, as the programs under test take them.
bool WriteWholeFile(const std::string& path, const std::string& bytes);
/// The file's bytes, or an empty string when it cannot be read.
std::string ReadWholeFile(const std::string& path);
bool FileExists(const std::string& path);
/// The file's size, or 0 when it has none.
uint64_t SizeOf(const std::string& path);
/// How often `text` occurs in `haystack` (occurrences do not overlap).
int CountOf(const std::string& haystack, const std::string& text);
/// Turns Windows' "\r\n" on text streams back into "\n", so expectations read alike.
std::string NormalizeNewlines(const std::string& text);

/// Polls `done` every few milliseconds for at most `timeout_ms`. Only for what no event
/// reports: what a program has written to a file, or what /proc shows of a process.
bool PollUntil(const std::function<bool()>& done, int timeout_ms = 20000);

/// "pid: command line" of every running process whose command line mentions `text`, read from
/// /proc (none where there is no /proc). A process that has ended but is not reaped yet has an
/// empty command line, so it is not listed.
std::vector<std::string> ProcessesMentioning(const std::string& text);
/// The pid of the one running process whose command line mentions `text`, or -1.
long FindProcess(const std::string& text);

/// Captures what this process writes to standard output or standard error, from construction
/// until Release, in a scratch file: the stream's descriptor is pointed at the file meanwhile.
class CapturedOutput {
 public:
  explicit CapturedOutput(FILE* stream);
  ~CapturedOutput() { Release(); }
  /// Points the stream back where it was; what was written meanwhile, line ends normalised.
  std::string Release();

 private:
  FILE* stream_;
  ScratchDir dir_;
  int saved_ = -1;
};

/// A test that talks over sockets: the socket library runs from SetUp to TearDown.
class SocketTest : public ::testing::Test {
 protected:
  void SetUp() override { ASSERT_TRUE(platform::StartSockets()); }
  void TearDown() override { platform::StopSockets(); }
};

/// The outcome of a program run to its end.
struct RunResult {
  bool exited = false;  ///< False when it had to be killed after the time limit.
  int status = 0;       ///< As platform::ReportedExitStatus gives it.
  std::string out;      ///< Standard output, line ends normalised.
  std::string err;      ///< Standard error, line ends normalised.
};

/// Runs `argv` with `input` on its standard input (then closed), waiting at most
/// `timeout_ms` for it to end.
RunResult RunProgram(const std::vector<std::string>& argv, const std::string& input = "",
                     int timeout_ms = 30000);

/// A child program that keeps running while the test talks to it. Its standard input
/// stays open until CloseInput; its output streams are collected as they come.
class RunningProgram {
 public:
  RunningProgram() = default;
  ~RunningProgram();  ///< Kills the child if it still runs.
  bool Start(const std::vector<std::string>& argv,
             platform::ChildInput input = platform::ChildInput::kPipe,
             platform::ChildOutputs outputs = platform::ChildOutputs::kPipes);
  /// Once `stream` has delivered `after` ("": at once) and until Release, it is left unread,
  /// as by a manager that does not read it. Call before Start: a read under way still
  /// completes.
  void Hold(platform::ChildStream stream, const std::string& after = "");
  void Release(platform::ChildStream stream);
  /// Waits until standard error holds `text` (compared after line-end normalisation).
  bool WaitForStderr(const std::string& text, int timeout_ms = 20000);
  bool WaitForStdout(const std::string& text, int timeout_ms = 20000);
  /// Waits until standard output holds `text` at least `count` times.
  bool WaitForStdoutCount(const std::string& text, int count, int timeout_ms = 20000);
  /// Waits until `done` holds for all that the stream has delivered, line ends normalised.
  bool WaitUntil(platform::ChildStream stream, const std::function<bool(const std::string&)>& done,
                 int timeout_ms = 20000);
  bool WriteInput(const std::string& bytes);
  void CloseInput();
  /// Waits for the child to end; false on time-out (the child is then killed).
  bool WaitForExit(int timeout_ms, int* status);
  std::string Stdout();  ///< What it wrote so far, line ends normalised.
  std::string Stderr();
  std::string RawStderr();

 private:
  /// A copy of `sink`, taken under the output's lock.
  std::string Copy(const std::string* sink);
  /// True while `stream` is to be left unread; called under the output's lock.
  bool IsHeld(platform::ChildStream stream) const;

  struct HoldState {
    bool asked = false;
    std::string after;
  };
  platform::Child child_;
  bool started_ = false;
  bool exited_ = false;
  HoldState out_hold_, err_hold_;
  std::string out_, err_;  // Guarded by the output's lock.
  platform::ChildOutput output_;
};

}  // namespace test
