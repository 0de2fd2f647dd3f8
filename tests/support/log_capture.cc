#include "tests/support/log_capture.h"

#include <cstdlib>
#include <filesystem>
#include <regex>
#include <sstream>

#include "tests/support/test_env.h"
#include "utility/base/file_path.h"

#ifndef _WIN32
#include <pwd.h>
#include <sys/utsname.h>
#include <unistd.h>
#endif

void LogCapture::send(google::LogSeverity severity, const char* /*full_filename*/,
                      const char* /*base_filename*/, int /*line*/,
                      const google::LogMessageTime& /*time*/, const char* message,
                      size_t message_length) {
  std::string line(1, google::GetLogSeverityName(severity)[0]);
  line += " ";
  line.append(message, message_length);
  std::lock_guard<std::mutex> lock(mutex_);
  lines_.push_back(line);
}

std::vector<std::string> LogCapture::Lines() const {
  std::lock_guard<std::mutex> lock(mutex_);
  return lines_;
}

bool IsWalkNoise(const std::string& line) {
  // "W <text>", or "W <source>: <text>" as a transcript reads it.
  if (line.rfind("W ", 0) != 0) return false;
  std::string text = line.substr(2);
  static const std::regex kSource(R"(^[a-z_]+\.cc: )");
  std::smatch source;
  if (std::regex_search(text, source, kSource)) text = source.suffix();
  return text.rfind("Open Process:", 0) == 0 || text.rfind("Query:", 0) == 0 ||
         text.rfind("failed to get sessionId", 0) == 0;
}

std::vector<std::string> LogCapture::OwnLines() const {
  std::vector<std::string> own;
  for (const std::string& line : Lines()) {
    if (!IsWalkNoise(line)) own.push_back(line);
  }
  return own;
}

void LogCapture::Clear() {
  std::lock_guard<std::mutex> lock(mutex_);
  lines_.clear();
}

std::vector<std::string> ReadLogFileRecords(const std::wstring& path, bool with_source) {
  // "I20261207 08:19:42.207844  8415 command_line.cc:32] text"
  static const std::regex kHeader(
      R"(^([IWEF])\d{8} \d\d:\d\d:\d\d\.\d{6} +\d+ ([^:\]]+):\d+\] (.*)$)");
  std::vector<std::string> records;
  std::istringstream lines(testenv::ReadFile(path));
  std::string line;
  bool in_records = false;
  while (std::getline(lines, line)) {
    if (!line.empty() && line.back() == '\r') line.pop_back();
    if (line.rfind("Log file created at:", 0) == 0) in_records = false;  // a later run's header
    std::smatch match;
    if (std::regex_match(line, match, kHeader)) {
      records.push_back(match[1].str() + " " + (with_source ? match[2].str() + ": " : "") +
                        match[3].str());
      in_records = true;
    } else if (in_records) {
      records.back() += "\n" + line;
    }
  }
  return records;
}

std::string LogFileName(const std::string& severity) {
#ifdef _WIN32
  char host[MAX_COMPUTERNAME_LENGTH + 1] = {};
  DWORD size = sizeof(host);
  if (!GetComputerNameA(host, &size)) host[0] = '\0';
  const char* user = getenv("USERNAME");
#else
  utsname system = {};
  uname(&system);
  const char* host = system.nodename;
  const char* user = getenv("USER");
  if (user == nullptr && getpwuid(geteuid()) != nullptr) user = getpwuid(geteuid())->pw_name;
#endif
  return std::string("zizaro_do.") + host + "." + (user != nullptr ? user : "invalid-user") +
         ".log." + severity + ".log";
}

std::wstring TodayLogFolder(const std::wstring& app_data) {
  return JoinPath(JoinPath(JoinPath(app_data, L"QuexaZevuvEdov2"), L"log"),
                  testenv::TodayFolderName());
}

std::vector<std::string> ReadTodayLog(const std::wstring& app_data, const std::string& severity,
                                      bool with_source) {
  return ReadFolderLog(TodayLogFolder(app_data), severity, with_source);
}

std::vector<std::string> ReadFolderLog(const std::wstring& folder, const std::string& severity,
                                       bool with_source) {
  namespace fs = std::filesystem;
  const std::string suffix = ".log." + severity + ".log";
  std::error_code error;
  for (fs::directory_iterator it(ToFsPath(folder), error), end; !error && it != end;
       it.increment(error)) {
    const std::string name = it->path().filename().u8string();
    if (name.rfind("zizaro_do.", 0) == 0 && name.size() > suffix.size() &&
        name.compare(name.size() - suffix.size(), suffix.size(), suffix) == 0) {
      return ReadLogFileRecords(FromFsPath(it->path()), with_source);
    }
  }
  return {};
}
