#include "Sdk/JsonFields.h"

#include <algorithm>
#include <cmath>
#include <limits>

namespace NimoSdk {
namespace {

const json* Member(const json& obj, const char* key) {
  if (!obj.is_object()) return nullptr;
  auto it = obj.find(key);
  if (it == obj.end() || it->is_null()) return nullptr;
  return &*it;
}

template <class Int>
bool ReadInt(const json& obj, const char* key, Int& out) {
  out = 0;
  const json* v = Member(obj, key);
  if (v == nullptr) return true;
  constexpr auto lo = std::numeric_limits<Int>::min();
  constexpr auto hi = std::numeric_limits<Int>::max();
  if (v->is_boolean()) {
    out = v->get<bool>() ? 1 : 0;
  } else if (v->is_number_unsigned()) {
    auto u = v->get<std::uint64_t>();
    out = u > static_cast<std::uint64_t>(hi) ? hi : static_cast<Int>(u);
  } else if (v->is_number_integer()) {
    auto i = v->get<std::int64_t>();
    out = i < static_cast<std::int64_t>(lo) ? lo : i > static_cast<std::int64_t>(hi) ? hi : static_cast<Int>(i);
  } else if (v->is_number_float()) {
    double d = std::trunc(v->get<double>());
    if (!(d == d)) return false;
    out = d <= static_cast<double>(lo) ? lo : d >= static_cast<double>(hi) ? hi : static_cast<Int>(d);
  } else {
    return false;
  }
  return true;
}

}  // namespace

bool NestsDeeperThan(const std::string& text, int limit) {
  int depth = 0;
  bool inString = false;
  for (std::size_t i = 0; i < text.size(); ++i) {
    char c = text[i];
    if (inString) {
      if (c == '\\') {
        ++i;
      } else if (c == '"') {
        inString = false;
      }
      continue;
    }
    if (c == '"') {
      inString = true;
    } else if (c == '[' || c == '{') {
      if (++depth > limit) return true;
    } else if (c == ']' || c == '}') {
      --depth;
    }
  }
  return false;
}

std::string JsonLimitExceeded(const std::string& text) {
  int depth = 0;
  std::size_t values = 0;  // containers and the separators between their members
  bool inString = false;
  for (std::size_t i = 0; i < text.size(); ++i) {
    const char c = text[i];
    if (inString) {
      if (c == '\\') {
        ++i;
      } else if (c == '"') {
        inString = false;
      }
      continue;
    }
    if (c == '"') {
      inString = true;
    } else if (c == '[' || c == '{') {
      if (++depth > kMaxJsonDepth) return "JSON嵌套超过" + std::to_string(kMaxJsonDepth) + "层";
      ++values;
    } else if (c == ']' || c == '}') {
      --depth;
    } else if (c == ',') {
      ++values;
    } else {
      continue;
    }
    if (values > kMaxJsonValues) return "JSON元素超过" + std::to_string(kMaxJsonValues) + "个";
  }
  return {};
}

bool ParseObject(const std::string& text, json& out) {
  if (!JsonLimitExceeded(text).empty()) {
    out = json(json::value_t::discarded);
    return false;
  }
  out = json::parse(text, nullptr, false);
  return !out.is_discarded() && out.is_object();
}

bool ReadString(const json& obj, const char* key, std::string& out) {
  out.clear();
  const json* v = Member(obj, key);
  if (v == nullptr) return true;
  if (!v->is_string()) return false;
  out = v->get<std::string>();
  return true;
}

bool ReadInt64(const json& obj, const char* key, std::int64_t& out) { return ReadInt(obj, key, out); }
bool ReadInt32(const json& obj, const char* key, std::int32_t& out) { return ReadInt(obj, key, out); }

std::string MaskStringMember(std::string text, const std::string& key) {
  const std::string quoted = "\"" + key + "\"";
  for (std::size_t at = text.find(quoted); at != std::string::npos; at = text.find(quoted, at + 1)) {
    std::size_t i = text.find_first_not_of(" \t\r\n", at + quoted.size());
    if (i == std::string::npos || text[i] != ':') continue;
    i = text.find_first_not_of(" \t\r\n", i + 1);
    if (i == std::string::npos || text[i] != '"') continue;
    std::size_t end = i + 1;
    while (end < text.size() && text[end] != '"') end += text[end] == '\\' ? 2 : 1;
    text.replace(i + 1, std::min(end, text.size()) - (i + 1), "***");
  }
  return text;
}

}  // namespace NimoSdk
