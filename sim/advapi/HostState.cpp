// The persistent state file of the simulated host (see internal/HostState.h).
#include "internal/HostState.h"

#include <ksim/Scm.h>

#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <mutex>
#include <sstream>

namespace {

const char kHeader[] = "ksim-state 1";

struct StateFile {
  std::mutex lock;      // guards path
  std::mutex saveLock;  // one save at a time, so the last save writes the latest state
  std::string path;
};

StateFile& File() {
  static StateFile* s_pFile = [] {
    auto* p = new StateFile;
    const char* env = std::getenv("KSIM_STATE");
    if (env) p->path = env;
    return p;
  }();
  return *s_pFile;
}

std::string StatePath() {
  StateFile& f = File();
  std::lock_guard<std::mutex> guard(f.lock);
  return f.path;
}

int HexDigit(char c) {
  if (c >= '0' && c <= '9') return c - '0';
  if (c >= 'A' && c <= 'F') return c - 'A' + 10;
  if (c >= 'a' && c <= 'f') return c - 'a' + 10;
  return -1;
}

}  // namespace

namespace ksim::detail {

std::string EncodeField(const std::string& text) {
  std::string out = "=";  // a field is never empty, so blanks can separate fields
  for (unsigned char c : text) {
    if (c > 0x20 && c < 0x7F && c != '%') {
      out += static_cast<char>(c);
    } else {
      char szHex[4];
      std::snprintf(szHex, sizeof(szHex), "%%%02X", c);
      out += szHex;
    }
  }
  return out;
}

std::string DecodeField(const std::string& field) {
  std::string out;
  for (size_t i = field.empty() || field[0] != '=' ? 0 : 1; i < field.size(); ++i) {
    if (field[i] == '%' && i + 2 < field.size() && HexDigit(field[i + 1]) >= 0 && HexDigit(field[i + 2]) >= 0) {
      out += static_cast<char>(HexDigit(field[i + 1]) * 16 + HexDigit(field[i + 2]));
      i += 2;
    } else {
      out += field[i];
    }
  }
  return out;
}

std::vector<StateLine> ReadStateLines(const std::string& tag) {
  std::vector<StateLine> lines;
  const std::string path = StatePath();
  if (path.empty()) return lines;
  std::ifstream in(path);
  std::string text;
  if (!in || !std::getline(in, text) || text != kHeader) return lines;
  while (std::getline(in, text)) {
    std::istringstream fields(text);
    StateLine line;
    for (std::string field; fields >> field;) line.push_back(DecodeField(field));
    if (!line.empty() && line[0] == tag) lines.push_back(std::move(line));
  }
  return lines;
}

void SaveHostState() {
  StateFile& f = File();
  std::lock_guard<std::mutex> guard(f.saveLock);
  const std::string path = StatePath();
  if (path.empty()) return;
  std::vector<StateLine> lines = RegistryStateLines();
  for (StateLine& line : ScmStateLines()) lines.push_back(std::move(line));

  // Written beside the file and renamed over it, so that a reader never sees half a state.
  const std::string temp = path + ".tmp";
  {
    std::ofstream out(temp, std::ios::trunc);
    out << kHeader << '\n';
    for (const StateLine& line : lines) {
      for (size_t i = 0; i < line.size(); ++i) out << (i ? " " : "") << EncodeField(line[i]);
      out << '\n';
    }
    if (!out) return;
  }
  std::rename(temp.c_str(), path.c_str());
}

}  // namespace ksim::detail

namespace ksim {

void UseStateFile(const std::string& path) {
  {
    StateFile& f = File();
    std::lock_guard<std::mutex> guard(f.lock);
    f.path = path;
  }
  if (path.empty()) return;
  detail::ReloadRegistryState();
  detail::ReloadScmState();
}

}  // namespace ksim
