#include "key/ukey.h"

#include "platform/errors.h"

UKey::UKey(std::u16string libraryFile, std::u16string manufacturer)
    : libraryFile_(std::move(libraryFile)), manufacturer_(std::move(manufacturer)) {}

UKey::~UKey() = default;

int32_t UKey::Unload() { return 0; }
int32_t UKey::SetPin(const std::string&, const std::string&) { return platform::E_NOTIMPL; }
int32_t UKey::SetTokenName(const std::string&) { return platform::E_NOTIMPL; }
int32_t UKey::QueryTokenName(std::string&) { return platform::E_NOTIMPL; }
