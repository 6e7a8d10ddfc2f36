#include "services/files/download_notify.h"

#include <limits>
#include <mutex>
#include <vector>

namespace {

struct CallbackTable {
  std::mutex mutex;
  std::vector<DownloadCallback> callbacks;  // number n names callbacks[n - 1]
};

CallbackTable& Table() {
  static CallbackTable* table = new CallbackTable;  // lives to the very end of the process
  return *table;
}

}  // namespace

std::string DownloadNotifyText(DownloadCallback callback) {
  if (!callback) return "0";
  CallbackTable& table = Table();
  std::lock_guard lock(table.mutex);
  for (size_t i = 0; i < table.callbacks.size(); ++i)
    if (table.callbacks[i] == callback) return std::to_string(i + 1);
  table.callbacks.push_back(callback);
  return std::to_string(table.callbacks.size());
}

std::string DownloadParaText(uint64_t param) { return std::to_string(param); }

uint64_t ParseUnsigned64(std::string_view text) {
  size_t i = 0;
  while (i < text.size() && (text[i] == ' ' || (text[i] >= '\t' && text[i] <= '\r'))) ++i;
  if (i < text.size() && text[i] == '+') ++i;
  uint64_t value = 0;
  constexpr uint64_t kMax = std::numeric_limits<uint64_t>::max();
  for (; i < text.size() && text[i] >= '0' && text[i] <= '9'; ++i) {
    uint64_t digit = uint64_t(text[i] - '0');
    if (value > (kMax - digit) / 10) return kMax;
    value = value * 10 + digit;
  }
  return value;
}

DownloadCallback DownloadCallbackFromText(std::string_view text) {
  uint64_t number = ParseUnsigned64(text);
  if (number == 0) return nullptr;
  CallbackTable& table = Table();
  std::lock_guard lock(table.mutex);
  return number <= table.callbacks.size() ? table.callbacks[size_t(number - 1)] : nullptr;
}

DownloadSink MakeDownloadSink(const char16_t* url, const char16_t* file,
                              std::string_view notifyText, std::string_view paraText) {
  DownloadSink sink;
  sink.url = url;
  sink.file = file;
  sink.callback = DownloadCallbackFromText(notifyText);
  sink.param = int32_t(uint32_t(ParseUnsigned64(paraText)));
  return sink;
}
