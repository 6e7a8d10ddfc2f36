// rescomp: packs the program's resources into one blob that the build places in the
// `lume_rsrc` section of the executable.
//
//   rescomp STRINGS MANIFEST OUTPUT
//
// STRINGS holds one string resource per line: a decimal id, a tab, the UTF-8 text with
// \n, \t and \\ escapes. MANIFEST holds one resource per line: TYPE NAME FILE, the file
// relative to the manifest's folder. The blob layout is read by platform/resources.cpp:
//   "LUMERSRC" | u32 count | count * (u16 typeLen, type, u16 nameLen, name, u32 offset, u32 size) | data
// with offsets counted from the start of the blob, all integers little-endian.
#include <cstdint>
#include <cstdio>
#include <fstream>
#include <iostream>
#include <sstream>
#include <string>
#include <vector>

namespace {

struct Entry {
  std::string type;
  std::string name;
  std::string data;
};

bool ReadFile(const std::string& path, std::string& out) {
  std::ifstream in(path, std::ios::binary);
  if (!in) return false;
  std::ostringstream ss;
  ss << in.rdbuf();
  out = ss.str();
  return true;
}

std::string Unescape(const std::string& text) {
  std::string out;
  for (size_t i = 0; i < text.size(); ++i) {
    if (text[i] == '\\' && i + 1 < text.size()) {
      char c = text[++i];
      out += c == 'n' ? '\n' : c == 't' ? '\t' : c == 'r' ? '\r' : c;
    } else {
      out += text[i];
    }
  }
  return out;
}

void PutU16(std::string& out, uint32_t v) {
  out += char(v & 0xFF);
  out += char((v >> 8) & 0xFF);
}
void PutU32(std::string& out, uint32_t v) {
  PutU16(out, v & 0xFFFF);
  PutU16(out, v >> 16);
}

}  // namespace

int main(int argc, char** argv) {
  if (argc != 4) {
    std::cerr << "usage: rescomp STRINGS MANIFEST OUTPUT\n";
    return 2;
  }
  std::vector<Entry> entries;
  std::ifstream strings(argv[1]);
  if (!strings) {
    std::cerr << "rescomp: cannot read " << argv[1] << "\n";
    return 1;
  }
  for (std::string line; std::getline(strings, line);) {
    if (line.empty() || line[0] == '#') continue;
    size_t tab = line.find('\t');
    if (tab == std::string::npos) {
      std::cerr << "rescomp: string line without a tab: " << line << "\n";
      return 1;
    }
    entries.push_back({"STRING", line.substr(0, tab), Unescape(line.substr(tab + 1))});
  }
  std::string manifest = argv[2];
  std::string base = manifest.substr(0, manifest.find_last_of('/') + 1);
  std::ifstream list(manifest);
  if (!list) {
    std::cerr << "rescomp: cannot read " << manifest << "\n";
    return 1;
  }
  for (std::string line; std::getline(list, line);) {
    std::istringstream fields(line);
    Entry e;
    std::string file;
    if (!(fields >> e.type) || e.type[0] == '#') continue;
    if (!(fields >> e.name >> std::ws) || !std::getline(fields, file)) {
      std::cerr << "rescomp: bad manifest line: " << line << "\n";
      return 1;
    }
    if (!ReadFile(base + file, e.data)) {
      std::cerr << "rescomp: cannot read " << base + file << "\n";
      return 1;
    }
    entries.push_back(std::move(e));
  }

  size_t headerSize = 8 + 4;
  for (const auto& e : entries) headerSize += 2 + e.type.size() + 2 + e.name.size() + 8;
  std::string blob = "LUMERSRC";
  PutU32(blob, uint32_t(entries.size()));
  size_t offset = headerSize;
  for (const auto& e : entries) {
    PutU16(blob, uint32_t(e.type.size()));
    blob += e.type;
    PutU16(blob, uint32_t(e.name.size()));
    blob += e.name;
    PutU32(blob, uint32_t(offset));
    PutU32(blob, uint32_t(e.data.size()));
    offset += e.data.size();
  }
  for (const auto& e : entries) blob += e.data;

  std::ofstream out(argv[3], std::ios::binary | std::ios::trunc);
  out.write(blob.data(), std::streamsize(blob.size()));
  if (!out) {
    std::cerr << "rescomp: cannot write " << argv[3] << "\n";
    return 1;
  }
  return 0;
}
