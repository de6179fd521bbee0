// Reading members of a server's JSON answer without throwing: a body from the
// network is hostile input. Each reader returns false when the member exists
// with a type it cannot be read as; an absent or null member gives the default.
#pragma once

#include <cstddef>
#include <cstdint>
#include <nlohmann/json.hpp>
#include <string>

namespace NimoSdk {

using json = nlohmann::json;

// Limits on JSON from the network or the disk, checked before parsing: the
// parser and the value it builds cost memory (and the value's copy, compare and
// dump recursion) in proportion to nesting and to the number of values.
inline constexpr int kMaxJsonDepth = 64;
inline constexpr std::size_t kMaxJsonValues = 100000;

// Empty when text stays within the limits, else why not. A linear scan that
// skips strings (escapes included); it does not check the syntax.
std::string JsonLimitExceeded(const std::string& text);

// True when text's brackets outside strings nest deeper than limit. Copying and
// printing a JSON value recurse once per level; valid JSON nests exactly as its
// brackets do, so this bounds anything the parser would accept.
bool NestsDeeperThan(const std::string& text, int limit);

// text with the string value of every member named key replaced by "***", for
// logging a body that holds a secret. A scan of the text; valid JSON or not.
std::string MaskStringMember(std::string text, const std::string& key);

// Parses text; false unless it is one JSON object within the limits.
bool ParseObject(const std::string& text, json& out);

bool ReadString(const json& obj, const char* key, std::string& out);  // default ""
// A number (fraction cut off, clamped to the range) or a boolean (0 or 1); default 0.
bool ReadInt64(const json& obj, const char* key, std::int64_t& out);
bool ReadInt32(const json& obj, const char* key, std::int32_t& out);

}  // namespace NimoSdk
