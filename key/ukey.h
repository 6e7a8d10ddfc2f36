// The key manager of one key type. The library binding and the key report come with the
// key manager; what exists now is what the application and the dispatcher call.
#pragma once

#include <cstdint>
#include <map>
#include <memory>
#include <string>

class UKey {
 public:
  UKey(std::u16string libraryFile, std::u16string manufacturer);
  virtual ~UKey();

  // Frees the key-assistant library if it is loaded; returns 0.
  virtual int32_t Unload();
  // ChangeUserPin / ChangeTokenName / GetTokenName of the bound library; E_NOTIMPL while
  // no library is loaded.
  virtual int32_t SetPin(const std::string& oldPin, const std::string& newPin);
  virtual int32_t SetTokenName(const std::string& name);
  virtual int32_t QueryTokenName(std::string& name);

 protected:
  std::u16string libraryFile_;
  std::u16string manufacturer_;
};

// Key type (the item attribute `type`, UTF-8, ordered byte-wise) to its key manager.
using KeyMap = std::map<std::string, std::unique_ptr<UKey>>;
