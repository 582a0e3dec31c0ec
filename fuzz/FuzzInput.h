// Reads a fuzzer's bytes as a stream of small decisions; past the end every read gives zeros,
// so that any input, even an empty one, decodes to something.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

namespace korvlog_fuzz {

class CFuzzInput {
 public:
  CFuzzInput(const uint8_t* pData, size_t cbData) : m_p(pData), m_cb(cbData) {}

  bool Empty() const { return m_i >= m_cb; }
  uint8_t Byte() { return m_i < m_cb ? m_p[m_i++] : 0; }
  uint32_t Dword() {
    uint32_t dw = 0;
    for (int i = 0; i < 4; ++i) dw |= static_cast<uint32_t>(Byte()) << (8 * i);
    return dw;
  }
  // Up to cbMax bytes, the count taken from the input first.
  std::vector<uint8_t> Bytes(size_t cbMax) {
    size_t cb = Byte();
    if (cbMax > 255) cb |= static_cast<size_t>(Byte()) << 8;
    if (cb > cbMax) cb %= cbMax + 1;
    std::vector<uint8_t> bytes;
    while (bytes.size() < cb && !Empty()) bytes.push_back(Byte());
    return bytes;
  }
  // The bytes up to the next separator (which is consumed), or to the end.
  std::string Until(char chSeparator) {
    std::string text;
    while (!Empty()) {
      const char ch = static_cast<char>(Byte());
      if (ch == chSeparator) break;
      text += ch;
    }
    return text;
  }

 private:
  const uint8_t* m_p;
  size_t m_cb;
  size_t m_i = 0;
};

}  // namespace korvlog_fuzz
