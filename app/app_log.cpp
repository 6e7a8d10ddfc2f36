#include "app/app_log.h"

#include <cerrno>
#include <cstdio>
#include <filesystem>

#include "platform/codepage.h"
#include "platform/environment.h"
#include "platform/paths.h"

using namespace platform;

std::u16string AppLog::FilePath() const {
  return ExpandEnvironmentStrings(u"%APPDATA%\\Corvane\\" + appName_ + u"\\" + appName_ + u".log");
}

LSTATUS AppLog::HostPath(std::string& out) const {
  std::filesystem::path host;
  LSTATUS rc = MapToHost(FilePath(), host);
  if (rc != ERROR_SUCCESS) return rc;
  std::error_code ec;
  std::filesystem::create_directories(host.parent_path(), ec);
  if (ec) return Win32FromErrno(ec.value());
  out = host.string();
  return ERROR_SUCCESS;
}

LSTATUS AppLog::ReadLines(const std::function<void(const std::u16string&)>& onLine) {
  std::lock_guard lock(mutex_);
  std::string path;
  LSTATUS rc = HostPath(path);
  if (rc != ERROR_SUCCESS) return rc;
  FILE* f = std::fopen(path.c_str(), "rbe");
  if (!f) return errno == ENOENT ? ERROR_SUCCESS : Win32FromErrno(errno);  // no log yet
  std::string line;
  for (int c; (c = std::fgetc(f)) != EOF;) {
    if (c != '\n') {
      line += char(c);
      continue;
    }
    if (!line.empty() && line.back() == '\r') line.pop_back();
    onLine(CodePageToUtf16(line, CP_GBK));
    line.clear();
  }
  if (!line.empty()) onLine(CodePageToUtf16(line, CP_GBK));  // last line without a line end
  std::fclose(f);
  return ERROR_SUCCESS;
}

LSTATUS AppLog::Append(std::u16string_view text) {
  std::lock_guard lock(mutex_);
  std::string path;
  LSTATUS rc = HostPath(path);
  if (rc != ERROR_SUCCESS) return rc;
  FILE* f = std::fopen(path.c_str(), "abe");
  if (!f) return Win32FromErrno(errno);
  // Text mode turns each "\n" of the text and the closing line end into CR LF.
  std::string bytes;
  for (char c : Utf16ToCodePage(text, CP_GBK)) {
    if (c == '\n') bytes += '\r';
    bytes += c;
  }
  bytes += "\r\n";
  bool ok = std::fwrite(bytes.data(), 1, bytes.size(), f) == bytes.size();
  ok = std::fflush(f) == 0 && ok;
  ok = std::fclose(f) == 0 && ok;
  return ok ? ERROR_SUCCESS : ERROR_WRITE_FAULT;
}

LSTATUS AppLog::Clear() {
  std::lock_guard lock(mutex_);
  std::string path;
  LSTATUS rc = HostPath(path);
  if (rc != ERROR_SUCCESS) return rc;
  FILE* f = std::fopen(path.c_str(), "wbe");
  if (!f) return Win32FromErrno(errno);
  return std::fclose(f) == 0 ? ERROR_SUCCESS : ERROR_WRITE_FAULT;
}
