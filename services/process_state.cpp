#include "services/process_state.h"

OptionTable& OptionTable::Instance() {
  static OptionTable table;
  return table;
}

int32_t OptionTable::Get(int32_t id) {
  std::lock_guard lock(mutex_);
  return values_[id];
}

void OptionTable::Set(int32_t id, int32_t value) {
  std::lock_guard lock(mutex_);
  values_[id] = value;
}

std::atomic<int32_t>& ConnectionState() {
  static std::atomic<int32_t> state{2};
  return state;
}
