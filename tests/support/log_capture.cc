#include "tests/support/log_capture.h"

#include <filesystem>
#include <regex>
#include <sstream>

#include "tests/support/test_env.h"
#include "utility/base/file_path.h"

void LogCapture::send(google::LogSeverity severity, const char* /*full_filename*/,
                      const char* base_filename, int /*line*/,
                      const google::LogMessageTime& /*time*/, const char* message,
                      size_t message_length) {
  std::string line(1, google::GetLogSeverityName(severity)[0]);
  line += " ";
  line += base_filename;
  line += ": ";
  line.append(message, message_length);
  std::lock_guard<std::mutex> lock(mutex_);
  lines_.push_back(line);
}

std::vector<std::string> LogCapture::Lines() const {
  std::lock_guard<std::mutex> lock(mutex_);
  return lines_;
}

bool IsWalkNoise(const std::string& line) {
  return line.rfind("W utils.cc: Open Process:", 0) == 0 ||
         line.rfind("W utils.cc: Query:", 0) == 0 ||
         line.rfind("W utils.cc: failed to get sessionId", 0) == 0;
}

std::vector<std::string> LogCapture::OwnLines() const {
  std::vector<std::string> own;
  for (const std::string& line : Lines()) {
    if (!IsWalkNoise(line)) own.push_back(line);
  }
  return own;
}

std::vector<std::string> LogCapture::LinesStartingWith(const std::string& prefix) const {
  std::vector<std::string> selected;
  for (const std::string& line : Lines()) {
    size_t text = line.find(": ");
    if (text != std::string::npos && line.compare(text + 2, prefix.size(), prefix) == 0) {
      selected.push_back(line);
    }
  }
  return selected;
}

void LogCapture::Clear() {
  std::lock_guard<std::mutex> lock(mutex_);
  lines_.clear();
}

std::vector<std::string> ReadLogFileRecords(const std::wstring& path) {
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
      records.push_back(match[1].str() + " " + match[2].str() + ": " + match[3].str());
      in_records = true;
    } else if (in_records) {
      records.back() += "\n" + line;
    }
  }
  return records;
}

std::wstring TodayLogFolder(const std::wstring& app_data) {
  return JoinPath(JoinPath(JoinPath(app_data, L"QuexaZevuvEdov2"), L"log"),
                  testenv::TodayFolderName());
}

std::vector<std::string> ReadTodayLog(const std::wstring& app_data, const std::string& severity) {
  namespace fs = std::filesystem;
  const std::string suffix = ".log." + severity + ".log";
  std::error_code error;
  for (fs::directory_iterator it(ToFsPath(TodayLogFolder(app_data)), error), end;
       !error && it != end; it.increment(error)) {
    const std::string name = it->path().filename().u8string();
    if (name.rfind("zizaro_do.", 0) == 0 && name.size() > suffix.size() &&
        name.compare(name.size() - suffix.size(), suffix.size(), suffix) == 0) {
      return ReadLogFileRecords(FromFsPath(it->path()));
    }
  }
  return {};
}
