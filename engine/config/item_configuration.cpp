#include "engine/config/item_configuration.h"

#include <new>

#include "engine/markup/markup_document.h"
#include "platform/errors.h"
#include "platform/text.h"
#include "services/files/file_helpers.h"
#include "services/http/http_agent.h"

namespace Corvane::Model {

void AttributeMap::Set(std::string_view name, std::string_view value) {
  if (value.empty()) return;
  std::string key(name);
  for (char& c : key)
    if (c >= 'A' && c <= 'Z') c = char(c - 'A' + 'a');
  map_[std::move(key)] = std::string(value);
}

const std::string& AttributeMap::Get(std::string_view name) const {
  static const std::string kEmpty;
  auto it = map_.find(name);
  return it == map_.end() ? kEmpty : it->second;
}

void ItemConfiguration::Clear() {
  documentAttributes.Clear();
  groups.clear();
  data.clear();
  items.clear();
  application = ApplicationItem();
}

ItemConfiguration& TheItemConfiguration() {
  static ItemConfiguration* model = new ItemConfiguration();  // lives until the process ends
  return *model;
}

std::recursive_mutex& EngineOperationLock() {
  static std::recursive_mutex* lock = new std::recursive_mutex();
  return *lock;
}

namespace {

void ReadAttributes(MarkupDocument& doc, AttributeMap& into) {
  std::string name, value;
  for (size_t n = 0; doc.GetAttributeAt(n, name, value); ++n) into.Set(name, value);
}

// The children named `name` of the current element (entered), appended to `into`.
void CollectEntries(MarkupDocument& doc, std::string_view name, std::vector<ConfigEntry>& into) {
  while (doc.FindNextElement(name)) {
    ConfigEntry entry;
    entry.text = doc.GetElementText();
    ReadAttributes(doc, entry.attributes);
    into.push_back(std::move(entry));
  }
}

}  // namespace

bool ParseItemConfiguration(std::string_view text, ItemConfiguration& model) {
  MarkupDocument doc;
  if (!doc.ParseText(text)) return false;
  if (!doc.FindNextElement("checkitems")) return false;
  ReadAttributes(doc, model.documentAttributes);
  doc.EnterElement();

  while (doc.FindNextElement("config")) {
    CheckGroup* group = FindCheckGroup(model, doc.GetAttribute("type"), true);
    doc.EnterElement();
    CollectEntries(doc, "entry", group->entries);
    doc.LeaveElement();
  }

  doc.ResetPosition();
  while (doc.FindNextElement("data")) model.data[doc.GetAttribute("name")] = doc.GetElementText();

  // No reset here: items are looked for after the last `data` element only.
  while (doc.FindNextElement("item")) {
    ConfigItem& item = model.items.emplace_back();
    ReadAttributes(doc, item.attributes);
    doc.EnterElement();
    CollectEntries(doc, "detect", item.detect);
    doc.ResetPosition();
    CollectEntries(doc, "installer", item.installer);
    doc.ResetPosition();
    CollectEntries(doc, "uninstaller", item.uninstaller);
    doc.LeaveElement();
  }

  doc.ResetPosition();
  while (doc.FindNextElement("appinfo")) {
    ReadAttributes(doc, model.application.attributes);
    doc.EnterElement();
    CollectEntries(doc, "detect", model.application.detect);
    doc.ResetPosition();
    CollectEntries(doc, "installer", model.application.installer);
    doc.LeaveElement();
  }
  return true;
}

bool ParseItemConfiguration(std::string_view text) {
  return ParseItemConfiguration(text, TheItemConfiguration());
}

std::string ConfigurationBase(std::string_view location) {
  size_t slash = location.rfind('/');
  if (slash == std::string_view::npos) return std::string(location);
  // "https://host" ends in the scheme's "//": cutting there would lose the host.
  size_t scheme = location.find("://");
  if (scheme != std::string_view::npos && slash == scheme + 2) return std::string(location) + "/";
  return std::string(location.substr(0, slash + 1));
}

int32_t LoadItemConfiguration(std::u16string_view location) {
  ItemConfiguration& model = TheItemConfiguration();
  model.Clear();
  std::string body;
  try {
    if (location.size() >= 4 && platform::EqualsNoCase(location.substr(0, 4), u"http")) {
      platform::HRESULT hr = Corvane::Network::HttpAgent().Get(location, {}, body);
      model.documentAttributes.Set("base", ConfigurationBase(platform::Utf16ToUtf8(location)));
      if (hr < 0) return hr;
    } else {
      platform::HRESULT hr = ReadWholeFile(location, body);
      if (hr < 0) return hr;
    }
    if (ParseItemConfiguration(body, model)) return 0;
  } catch (const std::bad_alloc&) {
    // A document too large for memory fails like one that does not parse.
  }
  model.Clear();
  return platform::E_FAIL;
}

CheckGroup* FindCheckGroup(ItemConfiguration& model, std::string_view type, bool create) {
  for (CheckGroup& g : model.groups)
    if (g.type == type) return &g;
  if (!create) return nullptr;
  model.groups.push_back(CheckGroup{std::string(type), {}});
  return &model.groups.back();
}

CheckGroup* FindCheckGroup(std::string_view type, bool create) {
  return FindCheckGroup(TheItemConfiguration(), type, create);
}

ConfigItem* ItemAt(uint32_t index) {
  auto& items = TheItemConfiguration().items;
  return index < items.size() ? &items[index] : nullptr;
}

std::string DocumentAttribute(std::string_view name) {
  return TheItemConfiguration().documentAttributes.Get(name);
}

std::string DataText(std::string_view name) {
  const DataTable& data = TheItemConfiguration().data;
  auto it = data.find(name);
  return it == data.end() ? std::string() : it->second;
}

std::string ResolveRemoteUrl(const ItemConfiguration& model, std::string_view value) {
  if (value.empty() || value.find("://") != std::string_view::npos) return std::string(value);
  return model.documentAttributes.Get("base") + std::string(value);
}

std::string ResolveRemoteUrl(std::string_view value) {
  return ResolveRemoteUrl(TheItemConfiguration(), value);
}

}  // namespace Corvane::Model
