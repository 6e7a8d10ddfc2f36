// Process-wide switches shared by the program's parts.
#pragma once

#include <atomic>
#include <cstdint>
#include <map>
#include <mutex>

// Option id to value. Written only at start-up; reading an absent id yields 0 and enters
// it with 0.
class OptionTable {
 public:
  static OptionTable& Instance();
  int32_t Get(int32_t id);
  void Set(int32_t id, int32_t value);

 private:
  std::mutex mutex_;
  std::map<int32_t, int32_t> values_;
};

// 1004: the download folder (1 = "Download" beside the program, 0 = the user's temporary folder).
inline constexpr int32_t kOptionDownloadBesideProgram = 1004;
// 1000: keep a local copy of the configuration (0 = no copy).
inline constexpr int32_t kOptionCacheConfiguration = 1000;

// The outcome of the last connection check: 2 the network answered (also the value at
// start), 0 it did not.
std::atomic<int32_t>& ConnectionState();
