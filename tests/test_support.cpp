#include "test_support.h"

#include <atomic>
#include <chrono>
#include <cstdarg>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <sstream>

#ifdef _WIN32
#include <io.h>
#else
#include <unistd.h>
#endif

#include "platform/msgpipe.h"
#include "tell_messages.h"

namespace test {

namespace {

// The C library's descriptor calls, named with a leading underscore on Windows.
#ifdef _WIN32
int DescriptorOf(FILE* stream) { return _fileno(stream); }
int Duplicate(int descriptor) { return _dup(descriptor); }
void DuplicateOnto(int from, int to) { _dup2(from, to); }
void CloseDescriptor(int descriptor) { _close(descriptor); }
#else
int DescriptorOf(FILE* stream) { return fileno(stream); }
int Duplicate(int descriptor) { return dup(descriptor); }
void DuplicateOnto(int from, int to) { dup2(from, to); }
void CloseDescriptor(int descriptor) { close(descriptor); }
#endif

std::string ExecutableSuffix(const std::string& reference) {
  size_t dot = reference.rfind(".exe");
  return dot != std::string::npos && dot + 4 == reference.size() ? ".exe" : "";
}

}  // namespace

std::string LoggerPath() { return TOBRIN_LOGGER_PATH; }
std::string TellPath() { return TOBRIN_TELL_PATH; }

std::string Format(const char* format, ...) {
  std::va_list arguments;
  va_start(arguments, format);
  std::va_list again;
  va_copy(again, arguments);
  int length = std::vsnprintf(nullptr, 0, format, arguments);
  va_end(arguments);
  std::string text(length > 0 ? static_cast<size_t>(length) + 1 : 1, '\0');
  std::vsnprintf(&text[0], text.size(), format, again);
  va_end(again);
  text.resize(length > 0 ? static_cast<size_t>(length) : 0);
  return text;
}

std::string TellUsage(const std::string& program) {
  const char* name = program.c_str();
  return Format(kTellUsageFormat, name) + Format(kTellGetAllExampleFormat, name) +
         Format(kTellLogLevelExampleFormat, name);
}
std::string PipeClientPath() { return TOBRIN_PIPE_CLIENT_PATH; }
std::string ToolPath(const std::string& name) {
  return std::string(TOBRIN_TOOLS_DIR) + "/" + name + ExecutableSuffix(TOBRIN_PIPE_CLIENT_PATH);
}

std::string CommandWord(const std::string& path) {
  if (ExecutableSuffix(path).empty() || path.empty() || path[0] != '/') return path;
  std::string word = "Z:" + path;
  for (char& c : word)
    if (c == '/') c = '\\';
  return word;
}

bool PipesAreFiles() { return platform::MakePipeName("dir", "x").rfind("dir", 0) == 0; }

std::string SystemTool(const std::string& name) {
  if (!PipesAreFiles()) return "";
  for (const char* dir : {"/usr/bin/", "/bin/", "/usr/sbin/", "/sbin/"})
    if (FileExists(dir + name)) return dir + name;
  return "";
}

// The start time goes in base 36 to keep socket paths well inside their length limit.
std::string UniqueTag() {
  static const std::string started = [] {
    auto now = std::chrono::system_clock::now().time_since_epoch();
    unsigned long long us = std::chrono::duration_cast<std::chrono::microseconds>(now).count();
    std::string digits;
    for (; us > 0; us /= 36)
      digits.insert(digits.begin(), "0123456789abcdefghijklmnopqrstuvwxyz"[us % 36]);
    return digits;
  }();
  static std::atomic<int> counter{0};
  return std::to_string(platform::CurrentProcessId()) + "-" + started + "-" +
         std::to_string(counter++);
}

ScratchDir::ScratchDir() {
  path_ = std::string(TOBRIN_SCRATCH_DIR) + "/t" + UniqueTag();
  std::error_code ignored;
  std::filesystem::remove_all(path_, ignored);
  std::filesystem::create_directories(path_, ignored);
}

ScratchDir::~ScratchDir() {
  std::error_code ignored;
  std::filesystem::permissions(path_, std::filesystem::perms::owner_all,
                               std::filesystem::perm_options::add, ignored);
  std::filesystem::remove_all(path_, ignored);
}

SmallDisk::~SmallDisk() {
  if (mounted_) RunProgram({SystemTool("umount"), "-l", point_});
  std::error_code ignored;
  if (!mounted_ && !point_.empty()) std::filesystem::remove_all(point_, ignored);
}

std::string SmallDisk::Mount() {
  std::error_code ignored;
  if (!PipesAreFiles()) {
    const std::string shared = TOBRIN_SMALL_DISK_DIR;
    if (shared.empty() || !FileExists(shared + "/mounted"))
      return "the test run mounted no tmpfs for the Windows tests (that takes root)";
    point_ = shared + "/t" + UniqueTag();
    std::filesystem::create_directories(point_, ignored);
    return "";
  }
  const std::string mount = SystemTool("mount");
  if (mount.empty() || SystemTool("umount").empty()) return "needs mount and umount";
  point_ = dir_.File("disk");
  std::filesystem::create_directories(point_, ignored);
  RunResult mounted = RunProgram(
      {mount, "-t", "tmpfs", "-o", "size=" + std::to_string(kMebibytes) + "m", "tmpfs", point_});
  if (!mounted.exited || mounted.status != 0)
    return "cannot mount a tmpfs here (it takes root): " + mounted.err;
  mounted_ = true;
  return "";
}

// Ever smaller writes, down to one byte, leave no room that a message could still take.
void SmallDisk::Fill(int room) {
  FILE* filler = std::fopen(File("filler").c_str(), "ab");
  if (!filler) return;
  std::setvbuf(filler, nullptr, _IONBF, 0);
  const std::string chunk(1 << 20, 'f');
  for (size_t size = chunk.size(); size > 0; size /= 2) {
    while (std::fwrite(chunk.data(), 1, size, filler) == size) {
    }
    std::clearerr(filler);
  }
  std::fclose(filler);
  std::error_code ignored;
  uint64_t size = std::filesystem::file_size(File("filler"), ignored);
  if (room > 0 && !ignored && size > static_cast<uint64_t>(room))
    std::filesystem::resize_file(File("filler"), size - room, ignored);
}

void SmallDisk::MakeRoom() {
  std::error_code ignored;
  std::filesystem::remove(File("filler"), ignored);
}

// Paths are UTF-8, as the programs under test take them on every system.
bool WriteWholeFile(const std::string& path, const std::string& bytes) {
  std::ofstream file(std::filesystem::u8path(path), std::ios::binary | std::ios::trunc);
  file.write(bytes.data(), static_cast<std::streamsize>(bytes.size()));
  return static_cast<bool>(file);
}

std::string ReadWholeFile(const std::string& path) {
  std::ifstream file(std::filesystem::u8path(path), std::ios::binary);
  std::ostringstream bytes;
  bytes << file.rdbuf();
  return bytes.str();
}

bool FileExists(const std::string& path) {
  std::error_code ignored;
  return std::filesystem::exists(std::filesystem::u8path(path), ignored);
}

uint64_t SizeOf(const std::string& path) {
  std::error_code error;
  uint64_t size = std::filesystem::file_size(std::filesystem::u8path(path), error);
  return error ? 0 : size;
}

bool PollUntil(const std::function<bool()>& done, int timeout_ms) {
  auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(timeout_ms);
  while (!done()) {
    if (std::chrono::steady_clock::now() > deadline) return false;
    std::this_thread::sleep_for(std::chrono::milliseconds(5));
  }
  return true;
}

std::vector<std::string> ProcessesMentioning(const std::string& text) {
  std::vector<std::string> found;
  std::error_code error;
  for (const auto& entry : std::filesystem::directory_iterator("/proc", error)) {
    std::string pid = entry.path().filename().string();
    if (pid.empty() || pid.find_first_not_of("0123456789") != std::string::npos) continue;
    std::string command = ReadWholeFile(entry.path().string() + "/cmdline");
    for (char& c : command)
      if (c == '\0') c = ' ';
    if (command.find(text) != std::string::npos) found.push_back(pid + ": " + command);
  }
  return found;
}

long FindProcess(const std::string& text) {
  std::vector<std::string> found = ProcessesMentioning(text);
  return found.size() == 1 ? std::atol(found[0].c_str()) : -1;
}

// Whatever the C library still buffers belongs where the stream pointed when it was written.
CapturedOutput::CapturedOutput(FILE* stream) : stream_(stream) {
  std::fflush(stream_);
  FILE* file = std::fopen(dir_.File("captured").c_str(), "wb");
  if (!file) return;
  saved_ = Duplicate(DescriptorOf(stream_));
  DuplicateOnto(DescriptorOf(file), DescriptorOf(stream_));
  std::fclose(file);
}

std::string CapturedOutput::Release() {
  if (saved_ < 0) return "";
  std::fflush(stream_);
  DuplicateOnto(saved_, DescriptorOf(stream_));
  CloseDescriptor(saved_);
  saved_ = -1;
  return NormalizeNewlines(ReadWholeFile(dir_.File("captured")));
}

int CountOf(const std::string& haystack, const std::string& text) {
  int count = 0;
  for (size_t at = haystack.find(text); at != std::string::npos;
       at = haystack.find(text, at + text.size()))
    ++count;
  return count;
}

std::string NormalizeNewlines(const std::string& text) {
  std::string result;
  result.reserve(text.size());
  for (size_t i = 0; i < text.size(); ++i) {
    if (text[i] == '\r' && i + 1 < text.size() && text[i + 1] == '\n') continue;
    result.push_back(text[i]);
  }
  return result;
}

RunResult RunProgram(const std::vector<std::string>& argv, const std::string& input,
                     int timeout_ms) {
  RunResult result;
  RunningProgram program;
  if (!program.Start(argv)) {
    result.err = "cannot start " + argv[0];
    return result;
  }
  if (!input.empty()) program.WriteInput(input);
  program.CloseInput();
  result.exited = program.WaitForExit(timeout_ms, &result.status);
  result.out = program.Stdout();
  result.err = program.Stderr();
  return result;
}

RunningProgram::~RunningProgram() {
  if (started_ && !exited_) {
    platform::KillChild(child_);
    int ignored;
    platform::WaitForChild(child_, 10000, &ignored);
  }
  // The readers end when the child and everything it started have closed the streams.
  Release(platform::ChildStream::kStdout);
  Release(platform::ChildStream::kStderr);
  output_.Join();
  platform::ReleaseChild(&child_);
}

bool RunningProgram::Start(const std::vector<std::string>& argv, platform::ChildInput input,
                           platform::ChildOutputs outputs) {
  std::error_code error;
  if (!platform::SpawnChild(argv, input, outputs, &child_, &error)) {
    std::fprintf(stderr, "cannot start %s: error %d\n", argv[0].c_str(), error.value());
    return false;
  }
  started_ = true;
  output_.Start(
      child_,
      [this](platform::ChildStream stream, const char* data, int size) {
        std::string* sink = stream == platform::ChildStream::kStdout ? &out_ : &err_;
        output_.Update([&] { sink->append(data, static_cast<size_t>(size)); });
      },
      [this](platform::ChildStream stream) { return IsHeld(stream); });
  return true;
}

void RunningProgram::Hold(platform::ChildStream stream, const std::string& after) {
  output_.Update([&] {
    HoldState& hold = stream == platform::ChildStream::kStdout ? out_hold_ : err_hold_;
    hold.asked = true;
    hold.after = after;
  });
}

void RunningProgram::Release(platform::ChildStream stream) {
  output_.Update(
      [&] { (stream == platform::ChildStream::kStdout ? out_hold_ : err_hold_).asked = false; });
}

bool RunningProgram::IsHeld(platform::ChildStream stream) const {
  bool is_out = stream == platform::ChildStream::kStdout;
  const HoldState& hold = is_out ? out_hold_ : err_hold_;
  return hold.asked && (is_out ? out_ : err_).find(hold.after) != std::string::npos;
}

bool RunningProgram::WaitUntil(platform::ChildStream stream,
                               const std::function<bool(const std::string&)>& done,
                               int timeout_ms) {
  const std::string* sink = stream == platform::ChildStream::kStdout ? &out_ : &err_;
  // Compared with line ends normalised, as Windows' text-mode streams write "\r\n".
  return output_.WaitUntil(timeout_ms, [&] { return done(NormalizeNewlines(*sink)); });
}

namespace {

std::function<bool(const std::string&)> Holds(const std::string& text, int count) {
  return [text, count](const std::string& output) { return CountOf(output, text) >= count; };
}

}  // namespace

bool RunningProgram::WaitForStderr(const std::string& text, int timeout_ms) {
  return WaitUntil(platform::ChildStream::kStderr, Holds(text, 1), timeout_ms);
}

bool RunningProgram::WaitForStdout(const std::string& text, int timeout_ms) {
  return WaitUntil(platform::ChildStream::kStdout, Holds(text, 1), timeout_ms);
}

bool RunningProgram::WaitForStdoutCount(const std::string& text, int count, int timeout_ms) {
  return WaitUntil(platform::ChildStream::kStdout, Holds(text, count), timeout_ms);
}

bool RunningProgram::WriteInput(const std::string& bytes) {
  return platform::WriteToChild(child_, bytes.data(), static_cast<int>(bytes.size())) ==
         static_cast<int>(bytes.size());
}

void RunningProgram::CloseInput() { platform::CloseChildInput(&child_); }

bool RunningProgram::WaitForExit(int timeout_ms, int* status) {
  if (!platform::WaitForChild(child_, timeout_ms, status)) {
    platform::KillChild(child_);
    int ignored;
    platform::WaitForChild(child_, 10000, &ignored);
    exited_ = true;
    return false;
  }
  exited_ = true;
  // Both streams reach end-of-file once the child is gone (unless something it started
  // still holds them): wait briefly so that the output is complete. A held stream is read
  // only once it is released.
  output_.WaitUntil(5000, [&] { return out_hold_.asked || err_hold_.asked; });
  return true;
}

std::string RunningProgram::Stdout() { return NormalizeNewlines(Copy(&out_)); }

std::string RunningProgram::Stderr() { return NormalizeNewlines(Copy(&err_)); }

std::string RunningProgram::RawStderr() { return Copy(&err_); }

std::string RunningProgram::Copy(const std::string* sink) {
  std::string copy;
  output_.Update([&] { copy = *sink; });
  return copy;
}

}  // namespace test
