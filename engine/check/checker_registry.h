// The checker singletons by type name, built once on first use and kept until the process
// ends. The table of checker classes is in checker_registry.cpp: a type whose class is not
// listed there gets a stand-in that answers -1 for every entry.
#pragma once

#include <array>
#include <map>
#include <memory>
#include <string>
#include <string_view>

#include "engine/check/check_fix.h"

namespace Corvane::Assistant {

class CheckerRegistry {
 public:
  // The thirteen type names a `config` group or a `dtype` may carry.
  static constexpr std::array<std::string_view, 13> kTypeNames = {
      "registry", "clsid",      "file", "host",    "dns",     "trust",    "url",
      "iehomepage", "compatibility", "cfca", "service", "install", "uninstall"};

  static CheckerRegistry& Instance();

  // The checker of `type` (exact match), or null when no such type exists.
  ICheckFix* Find(std::string_view type) const;

  // Tests only: puts `checker` in place of the type's checker (or adds the type) until the
  // returned value is destroyed; not for use while other threads run checks.
  class Override {
   public:
    Override(std::string type, ICheckFix* checker);
    ~Override();
    Override(const Override&) = delete;
    Override& operator=(const Override&) = delete;

   private:
    std::string type_;
    ICheckFix* previous_;
  };

 private:
  CheckerRegistry();
  std::map<std::string, std::unique_ptr<ICheckFix>, std::less<>> owned_;
  std::map<std::string, ICheckFix*, std::less<>> active_;
};

}  // namespace Corvane::Assistant
