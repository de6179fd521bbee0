#include "http/Strings.h"

#include <algorithm>
#include <cctype>
#include <climits>
#include <cstring>
#include <stdexcept>

namespace sion {

std::vector<std::string> Split(const std::string& text, const std::string& delimiter, int limit) {
  std::vector<std::string> pieces;
  if (delimiter.empty()) return {text};
  std::size_t start = 0;
  int finds = 0;
  while (limit < 0 || finds < limit) {
    std::size_t at = text.find(delimiter, start);
    if (at == std::string::npos) break;
    if (at > start) pieces.push_back(text.substr(start, at - start));
    start = at + delimiter.size();
    ++finds;
  }
  if (finds == 0) return {text};
  if (start < text.size()) pieces.push_back(text.substr(start));
  return pieces;
}

std::string Trim(const std::string& text, const std::string& characters) {
  std::size_t first = text.find_first_not_of(characters);
  if (first == std::string::npos) return text;
  std::size_t last = text.find_last_not_of(characters);
  return text.substr(first, last - first + 1);
}

std::string ToLower(std::string text) {
  for (char& c : text) c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
  return text;
}

int ParseInt(const std::string& text, int base) {
  std::size_t i = 0;
  while (i < text.size() && std::isspace(static_cast<unsigned char>(text[i]))) ++i;
  bool negative = false;
  if (i < text.size() && (text[i] == '+' || text[i] == '-')) {
    negative = text[i] == '-';
    ++i;
  }
  long long value = 0;
  bool any = false;
  bool overflow = false;
  for (; i < text.size(); ++i) {
    int c = static_cast<unsigned char>(text[i]);
    int digit;
    if (c >= '0' && c <= '9') {
      digit = c - '0';
    } else if (c >= 'a' && c <= 'z') {
      digit = c - 'a' + 10;
    } else if (c >= 'A' && c <= 'Z') {
      digit = c - 'A' + 10;
    } else {
      break;
    }
    if (digit >= base) break;
    any = true;
    if (!overflow) {
      value = value * base + digit;
      if (value > static_cast<long long>(INT_MAX) + 1) overflow = true;
    }
  }
  if (!any) throw std::invalid_argument("invalid stoi argument");
  if (negative) value = -value;
  if (overflow || value > INT_MAX || value < INT_MIN) throw std::out_of_range("stoi argument out of range");
  return static_cast<int>(value);
}

bool HasAsciiLetter(const std::string& text) {
  return std::any_of(text.begin(), text.end(), [](char c) { return (c >= 'A' && c <= 'Z') || (c >= 'a' && c <= 'z'); });
}

std::string TextOf(const std::vector<char>& bytes) {
  const void* zero = bytes.empty() ? nullptr : std::memchr(bytes.data(), 0, bytes.size());
  std::size_t n = zero ? static_cast<std::size_t>(static_cast<const char*>(zero) - bytes.data()) : bytes.size();
  return std::string(bytes.data(), n);
}

}  // namespace sion
