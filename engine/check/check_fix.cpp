#include "engine/check/check_fix.h"

#include "platform/machine.h"

namespace Corvane::Assistant {

int32_t ReadDecimal(std::string_view text) {
  size_t i = 0;
  while (i < text.size() && (text[i] == ' ' || (text[i] >= '\t' && text[i] <= '\r'))) ++i;
  bool negative = false;
  if (i < text.size() && (text[i] == '+' || text[i] == '-')) negative = text[i++] == '-';
  uint32_t value = 0;
  for (; i < text.size() && text[i] >= '0' && text[i] <= '9'; ++i)
    value = value * 10u + uint32_t(text[i] - '0');
  return int32_t(negative ? 0u - value : value);
}

bool EntryAppliesHere(const ConfigEntry& entry) {
  return entry.attributes.Get("bit").empty() || platform::Is64BitWindows();
}

}  // namespace Corvane::Assistant
