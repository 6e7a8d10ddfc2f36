// The bank's item configuration: the check groups, named page texts, installable items and
// the assistant's own description, as read from the XML document the bank publishes. One
// process-wide model, rebuilt from scratch at every load. All strings are UTF-8 exactly as
// they stood in the document.
#pragma once

#include <cstdint>
#include <map>
#include <mutex>
#include <string>
#include <string_view>
#include <vector>

namespace Corvane::Model {

// Attribute name -> value, ordered by byte comparison of the names. Set() lower-cases the
// name (ASCII), ignores an empty value (it neither stores nor overwrites) and lets a later
// value replace an earlier one. Get() of an absent name is the empty string.
class AttributeMap {
 public:
  using Map = std::map<std::string, std::string, std::less<>>;

  void Set(std::string_view name, std::string_view value);
  const std::string& Get(std::string_view name) const;
  bool Has(std::string_view name) const { return map_.find(name) != map_.end(); }
  void Clear() { map_.clear(); }
  size_t size() const { return map_.size(); }
  bool empty() const { return map_.empty(); }
  Map::const_iterator begin() const { return map_.begin(); }
  Map::const_iterator end() const { return map_.end(); }

 private:
  Map map_;
};

// One leaf element (`entry`, `detect`, `installer`, `uninstaller`).
struct ConfigEntry {
  int32_t status = 0;       // CheckStatus of the last check or fix; 0 after parsing
  std::string text;         // the checker's main argument (registry path, file, host, URL...)
  AttributeMap attributes;  // every attribute, by the attribute rules
};

// One check type and its entries (all `config` elements of that type, merged in order).
struct CheckGroup {
  std::string type;
  std::vector<ConfigEntry> entries;
};

// One installable component; its index in ItemConfiguration::items is its identity
// towards the page.
struct ConfigItem {
  AttributeMap attributes;
  std::vector<ConfigEntry> detect;
  std::vector<ConfigEntry> installer;
  std::vector<ConfigEntry> uninstaller;  // stored; nothing consults it
};

// The assistant itself, shaped like an item so the item operations apply to it unchanged
// (its uninstaller list stays empty).
struct ApplicationItem : ConfigItem {};

// Named page texts; names as written, later elements overwrite earlier ones.
using DataTable = std::map<std::string, std::string, std::less<>>;

struct ItemConfiguration {
  AttributeMap documentAttributes;  // the root's attributes plus `base`
  std::vector<CheckGroup> groups;   // at most one per type name
  DataTable data;
  std::vector<ConfigItem> items;
  ApplicationItem application;

  void Clear();
};

// The process-wide model.
ItemConfiguration& TheItemConfiguration();

// Serialises whole engine operations on the model: loading, checks, repairs, installs. The
// page runs a key-information check beside its queued checks, so two operations can
// arrive at once. Never hold it across a call into the page (result objects, setItemInfo):
// the page's thread may be waiting for this lock.
std::recursive_mutex& EngineOperationLock();

// Clears the model, fetches `location` (http/https through the HTTP agent, else a file)
// and parses it. 0 on success; the negative status of the fetch or file read; E_FAIL when
// the text did not parse. The model stays empty after a failure.
int32_t LoadItemConfiguration(std::u16string_view location);

// Fills `model` (expected cleared) from UTF-8 document text. False when the text is not a
// well-formed document or its root element is not `checkitems`; `model` may then hold a
// partial result and the caller clears it.
bool ParseItemConfiguration(std::string_view text, ItemConfiguration& model);
// The same into the process-wide model.
bool ParseItemConfiguration(std::string_view text);

// The group of `type` (exact, case-sensitive; first match). With `create` an absent type is
// appended. The pointer stays valid until the next group is created or the model reloads.
CheckGroup* FindCheckGroup(std::string_view type, bool create);
CheckGroup* FindCheckGroup(ItemConfiguration& model, std::string_view type, bool create);

// Null when `index` is not below the number of items.
ConfigItem* ItemAt(uint32_t index);

// Lookups in the process-wide model; the empty string for an absent name.
std::string DocumentAttribute(std::string_view name);
std::string DataText(std::string_view name);

// A non-empty value without "://" is taken relative to the document's `base`; anything
// else is returned as it stands.
std::string ResolveRemoteUrl(std::string_view value);
std::string ResolveRemoteUrl(const ItemConfiguration& model, std::string_view value);

// The base of a configuration location: the text up to and including its last '/', or the
// whole text when it has none. A location that is only scheme and host ("https://host")
// gets a '/' so the host is kept.
std::string ConfigurationBase(std::string_view location);

}  // namespace Corvane::Model
