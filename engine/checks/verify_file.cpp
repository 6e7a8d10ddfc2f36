#include "engine/checks/verify_file.h"

#include <filesystem>
#include <system_error>

#include "platform/paths.h"
#include "services/files/digest.h"
#include "services/files/file_version.h"

namespace Corvane::Assistant {

namespace {

bool IsDigit(char c) { return c >= '0' && c <= '9'; }

std::string LowerAscii(std::string_view text) {
  std::string out(text);
  for (char& c : out)
    if (c >= 'A' && c <= 'Z') c = char(c - 'A' + 'a');
  return out;
}

// GetFileAttributesW: present and not a folder.
bool IsExistingFile(std::u16string_view path) {
  std::filesystem::path host;
  if (platform::MapToHost(path, host) != platform::ERROR_SUCCESS) return false;
  std::error_code error;
  auto status = std::filesystem::status(host, error);
  return !error && std::filesystem::exists(status) && !std::filesystem::is_directory(status);
}

// A digest test: -2 when the file cannot be read, 1 when its digest is not listed, 2 when
// it is (or nothing is required).
CheckStatus DigestListed(std::u16string_view path, const std::string& accepted, int type) {
  if (accepted.empty()) return kCheckOk;
  std::string digest = FileDigestHex(path, type);
  // An empty digest would be found in any text: an unreadable file must fail instead.
  if (digest.empty()) return kCheckFailed;
  return LowerAscii(accepted).find(digest) == std::string::npos ? kCheckUpgrade : kCheckOk;
}

}  // namespace

VersionCondition ParseVersionCondition(std::string_view text) {
  VersionCondition condition;
  using Op = VersionCondition::Op;
  size_t i = 0;
  if (text.substr(0, 2) == ">=") {
    condition.op = Op::GreaterEqual, i = 2;
  } else if (text.substr(0, 2) == "<=") {
    condition.op = Op::LessEqual, i = 2;
  } else if (text.substr(0, 1) == ">") {
    condition.op = Op::Greater, i = 1;
  } else if (text.substr(0, 1) == "<") {
    condition.op = Op::Less, i = 1;
  }
  while (i < text.size() && !IsDigit(text[i])) ++i;
  for (int part = 0; part < 4 && i < text.size(); ++part) {
    size_t dot = text.find('.', i);
    std::string_view piece = text.substr(i, dot == std::string_view::npos ? dot : dot - i);
    condition.parts[part] = uint16_t(ReadDecimal(piece));
    if (dot == std::string_view::npos) break;
    i = dot + 1;
  }
  return condition;
}

bool VersionSatisfies(const uint16_t fileParts[4], const VersionCondition& condition) {
  int order = 0;
  for (int i = 0; i < 4 && order == 0; ++i)
    order = fileParts[i] < condition.parts[i] ? -1 : fileParts[i] > condition.parts[i] ? 1 : 0;
  switch (condition.op) {
    case VersionCondition::Op::Equal: return order == 0;
    case VersionCondition::Op::Greater: return order > 0;
    case VersionCondition::Op::GreaterEqual: return order >= 0;
    case VersionCondition::Op::Less: return order < 0;
    case VersionCondition::Op::LessEqual: return order <= 0;
  }
  return false;
}

CheckStatus VerifyFile(const ConfigEntry& entry, std::u16string_view path) {
  try {
    if (!IsExistingFile(path)) return kCheckFailed;

    const std::string& version = entry.attributes.Get("version");
    if (!version.empty()) {
      VS_FIXEDFILEINFO info;
      if (!GetFileVersion(path, &info)) return kCheckFailed;
      const uint16_t fileParts[4] = {
          uint16_t(info.dwFileVersionMS >> 16), uint16_t(info.dwFileVersionMS),
          uint16_t(info.dwFileVersionLS >> 16), uint16_t(info.dwFileVersionLS)};
      if (!VersionSatisfies(fileParts, ParseVersionCondition(version))) return kCheckUpgrade;
    }

    CheckStatus md5 = DigestListed(path, entry.attributes.Get("md5"), kDigestMd5);
    if (md5 != kCheckOk) return md5;
    return DigestListed(path, entry.attributes.Get("sha1"), kDigestSha1);
  } catch (const std::exception&) {
    return kCheckFailed;
  }
}

}  // namespace Corvane::Assistant
