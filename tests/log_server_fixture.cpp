#include "log_server_fixture.h"

#include <atomic>
#include <thread>

#include "log_writer.h"

namespace test {

std::string LoggerUsage(const std::string& program) {
  return Format(kUsageFormat, program.c_str(), program.c_str());
}

std::string CannotOpenLogStart(const std::string& log) {
  std::string message = Format(kCannotOpenLogFormat, log.c_str(), 0);
  return message.substr(0, message.rfind("err=") + 4);
}

std::string RenameFailedNote(const std::string& log, const std::string& backup) {
  return kRenameFailedNoteStart + log + kRenameFailedNoteMiddle + backup + kRenameFailedNoteEnd;
}

std::vector<std::string> RotationOptions(int64_t limit, int backups) {
  return {"--filesize=" + std::to_string(limit), "--numbackups=" + std::to_string(backups)};
}

int Write(LogWriter* writer, const std::string& text) {
  return writer->WriteAll(text.data(), static_cast<int>(text.size()));
}

std::string UniquePipeName(const ScratchDir& dir) {
  return platform::MakePipeName(dir.path(), "tobrin-" + UniqueTag());
}

bool PipeClient::Connect(const std::string& pipe) {
  open_ = platform::ConnectToPipe(pipe.c_str(), 20000, &end_);
  return open_;
}

bool PipeClient::Send(const std::string& message) {
  return open_ && platform::SendPipeMessage(end_, message.data(), static_cast<int>(message.size()));
}

void PipeClient::Close() {
  if (open_) platform::ClosePipe(end_);
  open_ = false;
}

bool SendMessages(const std::string& pipe, const std::vector<std::string>& messages) {
  PipeClient client;
  if (!client.Connect(pipe)) return false;
  for (const std::string& message : messages)
    if (!client.Send(message)) return false;
  return true;
}

bool SendBatchesConcurrently(const std::string& pipe,
                             const std::vector<std::vector<std::string>>& batches) {
  std::vector<std::thread> threads;
  std::vector<char> sent(batches.size(), 0);
  for (size_t c = 0; c < batches.size(); ++c)
    threads.emplace_back([&, c] { sent[c] = SendMessages(pipe, batches[c]); });
  for (std::thread& thread : threads) thread.join();
  for (char ok : sent)
    if (!ok) return false;
  return true;
}

int RunWhileTheManagerStays(RunningProgram* program, const std::vector<std::string>& argv) {
  if (!program->Start(argv)) return -2000;
  int status = -1000;
  program->WaitForExit(20000, &status);
  return status;
}

bool LogServer::Start(const std::vector<std::string>& extra, const std::string& output) {
  std::vector<std::string> argv{LoggerPath(), "--input=" + pipe,
                                output.empty() ? "--output=" + log : output};
  argv.insert(argv.end(), extra.begin(), extra.end());
  return program.Start(argv, input) && program.WaitForStderr(kReadyByte);
}

bool LogServer::WaitForClientsDone(int clients, int timeout_ms) {
  return program.WaitForStdoutCount(kReadFileFailed, clients, timeout_ms);
}

int LogServer::Stop() {
  program.CloseInput();
  int status = -1000;
  if (!program.WaitForExit(20000, &status)) return -2000;
  return status;
}

}  // namespace test
