// Message-table resources, as FormatMessage reads them: the platform's MESSAGE_RESOURCE_DATA
// layout (a block count, blocks of {low id, high id, offset of the entries}, entries of
// {length, flags, text}), all little-endian, offsets from the start of the resource.
#include <ksim/EventLog.h>

#include <cstring>

namespace {

const WORD kUnicodeEntry = 0x0001;

bool ReadWord(const std::vector<BYTE>& bytes, size_t offset, WORD* pValue) {
  if (offset > bytes.size() || bytes.size() - offset < 2) return false;
  *pValue = static_cast<WORD>(bytes[offset] | (bytes[offset + 1] << 8));
  return true;
}

bool ReadDword(const std::vector<BYTE>& bytes, size_t offset, DWORD* pValue) {
  WORD lo = 0, hi = 0;
  if (!ReadWord(bytes, offset, &lo) || !ReadWord(bytes, offset + 2, &hi)) return false;
  *pValue = lo | (static_cast<DWORD>(hi) << 16);
  return true;
}

// The text of one entry without its padding zeros.
bool EntryText(const std::vector<BYTE>& bytes, size_t offset, WORD wLength, WORD wFlags, std::string* pText) {
  const size_t cbHeader = 4;
  if (wLength < cbHeader || offset + wLength > bytes.size()) return false;
  pText->clear();
  if (wFlags & kUnicodeEntry) {
    for (size_t i = offset + cbHeader; i + 1 < offset + wLength; i += 2) {
      const WORD wc = static_cast<WORD>(bytes[i] | (bytes[i + 1] << 8));
      if (!wc) break;
      *pText += wc <= 0xFF ? static_cast<char>(wc) : '?';
    }
  } else {
    for (size_t i = offset + cbHeader; i < offset + wLength && bytes[i]; ++i) *pText += static_cast<char>(bytes[i]);
  }
  return true;
}

}  // namespace

namespace ksim {

MessageLookup FindMessage(const std::vector<BYTE>& table, DWORD messageId, std::string* text) {
  DWORD dwBlocks = 0;
  if (!ReadDword(table, 0, &dwBlocks) || dwBlocks > table.size() / 12) return MessageLookup::kMalformed;
  for (DWORD b = 0; b < dwBlocks; ++b) {
    DWORD dwLow = 0, dwHigh = 0, dwOffset = 0;
    const size_t block = 4 + static_cast<size_t>(b) * 12;
    if (!ReadDword(table, block, &dwLow) || !ReadDword(table, block + 4, &dwHigh) ||
        !ReadDword(table, block + 8, &dwOffset) || dwLow > dwHigh)
      return MessageLookup::kMalformed;
    if (messageId < dwLow || messageId > dwHigh) continue;
    // The entries of a block follow one another; step to the one for the identifier.
    size_t offset = dwOffset;
    for (DWORD id = dwLow;; ++id) {
      WORD wLength = 0, wFlags = 0;
      if (!ReadWord(table, offset, &wLength) || !ReadWord(table, offset + 2, &wFlags) || wLength < 4)
        return MessageLookup::kMalformed;
      if (id == messageId) {
        std::string found;
        if (!EntryText(table, offset, wLength, wFlags, &found)) return MessageLookup::kMalformed;
        if (text) *text = found;
        return MessageLookup::kFound;
      }
      offset += wLength;
    }
  }
  return MessageLookup::kMissing;
}

std::string FormatEventMessage(const std::string& text, const std::vector<std::string>& strings) {
  std::string out;
  for (size_t i = 0; i < text.size(); ++i) {
    if (text[i] != '%' || i + 1 >= text.size()) {
      out += text[i];
      continue;
    }
    const char c = text[++i];
    if (c >= '1' && c <= '9') {
      size_t start = i - 1;
      unsigned n = static_cast<unsigned>(c - '0');
      if (i + 1 < text.size() && text[i + 1] >= '0' && text[i + 1] <= '9') n = n * 10 + (text[++i] - '0');
      // A printf-style format between exclamation marks ("%1!s!") belongs to the insert.
      if (i + 1 < text.size() && text[i + 1] == '!') {
        size_t close = text.find('!', i + 2);
        if (close != std::string::npos) i = close;
      }
      if (n <= strings.size()) {
        out += strings[n - 1];
      } else {
        out += text.substr(start, i + 1 - start);
      }
      continue;
    }
    switch (c) {
      case '0':
        return out;
      case 'n':
        out += "\r\n";
        break;
      case 'r':
        out += '\r';
        break;
      case 't':
        out += '\t';
        break;
      default:
        out += c;  // "%%", "% ", "%." and "%!" stand for the character itself
        break;
    }
  }
  return out;
}

}  // namespace ksim
