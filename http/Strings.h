// String helpers of the client and its shared constants.
#pragma once

#include <string>
#include <vector>

namespace sion {

inline const char* const kCrlf = "\r\n";
inline const char* const kCrlfCrlf = "\r\n\r\n";

// Throws E(message) when condition is false.
template <typename E>
void Check(bool condition, const char* message) {
  if (!condition) throw E(message);
}
template <typename E>
void Check(bool condition, const std::string& message) {
  if (!condition) throw E(message);
}

// Cuts text at the first `limit` finds of delimiter (-1: all), left to right;
// empty pieces are dropped; with no find the result is {text}.
std::vector<std::string> Split(const std::string& text, const std::string& delimiter, int limit = -1);

// Removes the given characters from both ends; a text made only of them (or
// empty) comes back unchanged.
std::string Trim(const std::string& text, const std::string& characters = " \n\r");

// Byte-wise tolower.
std::string ToLower(std::string text);

// std::stoi's reading (leading blanks, optional sign, stops at the first
// non-digit) with stable texts: std::invalid_argument "invalid stoi argument"
// when no digit is found, std::out_of_range "stoi argument out of range" when
// the value does not fit an int.
int ParseInt(const std::string& text, int base = 10);

// True when text holds at least one of A-Z, a-z (a host name, not an address).
bool HasAsciiLetter(const std::string& text);

// The text of a byte vector: its bytes up to the first zero byte.
std::string TextOf(const std::vector<char>& bytes);

}  // namespace sion
