// The application's log file, kept for the page's `log` command in the user's data folder
// (%APPDATA%\Corvane\{AppName}\{AppName}.log). Text is stored in code page 936 with CR LF
// line ends, as the page's log has always been written.
#pragma once

#include <functional>
#include <mutex>
#include <string>
#include <string_view>

#include "platform/errors.h"

class AppLog {
 public:
  explicit AppLog(std::u16string appName) : appName_(std::move(appName)) {}

  // Every line of the file, in order, without its line end.
  platform::LSTATUS ReadLines(const std::function<void(const std::u16string&)>& onLine);
  platform::LSTATUS Append(std::u16string_view text);
  platform::LSTATUS Clear();

  // The Windows path of the file.
  std::u16string FilePath() const;

 private:
  platform::LSTATUS HostPath(std::string& out) const;
  std::u16string appName_;
  std::mutex mutex_;
};
