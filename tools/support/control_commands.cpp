#include "tools/support/control_commands.h"

#include <cctype>
#include <vector>

namespace {

constexpr const char* kLevels[] = {"TRACE", "DEBUG", "INFO", "WARN", "ERROR"};

std::string Upper(std::string word) {
  for (char& c : word) c = static_cast<char>(std::toupper(static_cast<unsigned char>(c)));
  return word;
}

std::vector<std::string> SplitWords(const std::string& line) {
  std::vector<std::string> words;
  size_t at = 0;
  while ((at = line.find_first_not_of(" \t\r", at)) != std::string::npos) {
    size_t end = line.find_first_of(" \t\r", at);
    if (end == std::string::npos) end = line.size();
    words.push_back(line.substr(at, end - at));
    at = end;
  }
  return words;
}

std::string GetAll(const ManagerState& manager) {
  std::string state = "running";
  if (manager.exited) state = "exited with status " + std::to_string(manager.exit_status);
  return "logserver.command: " + manager.command_line +
         "\nlogserver.process: " + std::to_string(manager.process) + "\nlogserver.state: " + state +
         "\nloglevel: " + kLevels[manager.level] +
         "\ncontrolport: 127.0.0.1:" + std::to_string(manager.port) + "\n";
}

std::string SetLogLevel(ManagerState* manager, const std::vector<std::string>& words) {
  if (words.size() != 3 || Upper(words[1]) != "LOGLEVEL")
    return "error: usage: set loglevel TRACE|DEBUG|INFO|WARN|ERROR\n";
  std::string wanted = Upper(words[2]);
  for (int level = 0; level < 5; ++level) {
    if (wanted == kLevels[level]) {
      manager->level = level;
      return std::string("loglevel set to ") + kLevels[level] + "\n";
    }
  }
  return "error: unknown loglevel '" + words[2] + "' (use TRACE, DEBUG, INFO, WARN or ERROR)\n";
}

}  // namespace

std::string ExecuteControlCommand(const std::string& line, ManagerState* manager, bool* stop) {
  std::vector<std::string> words = SplitWords(line);
  if (words.empty()) return "error: empty command (try: help)\n";
  std::string verb = Upper(words[0]);
  if (verb == "GET" && words.size() == 2 && Upper(words[1]) == "ALL") return GetAll(*manager);
  if (verb == "GET") return "error: usage: get all\n";
  if (verb == "SET") return SetLogLevel(manager, words);
  if (verb == "HELP")
    return "commands: get all | set loglevel TRACE|DEBUG|INFO|WARN|ERROR | help | stop\n";
  if ((verb == "STOP" || verb == "QUIT") && words.size() == 1) {
    *stop = true;
    return "stopping the log server\n";
  }
  return "error: unknown command '" + line + "' (try: get all, set loglevel LEVEL, help, stop)\n";
}

std::string JoinCommandLine(const std::vector<std::string>& words) {
  std::string line;
  for (const std::string& word : words) {
    if (!line.empty()) line += ' ';
    bool quote = word.empty() || word.find_first_of(" \t") != std::string::npos;
    line += quote ? "\"" + word + "\"" : word;
  }
  return line;
}

std::string NoteOfCommand(const std::string& line, const std::string& reply, int level) {
  if (level > kDebugLevel) return "";
  size_t shown = level == kTraceLevel ? reply.size() : reply.find('\n') + 1;
  // Printed as C text: the line ends at a zero byte in it, as printf would show it.
  return "tobrin-dev-manager: command '" + std::string(line.c_str()) + "' -> " +
         reply.substr(0, shown);
}
