#include "Sdk/EventChecks.h"

#include <easylogging++.h>

#include <algorithm>
#include <cstddef>
#include <cstdint>

#include "Sdk/JsonFields.h"

namespace NimoSdk {
namespace {

using json = nlohmann::json;

bool IsNameChar(char c) {
  return (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || (c >= '0' && c <= '9') || c == '_';
}

// Reads the parameters through the JSON library's event interface: the same
// grammar as its parser, without the document.
class ShapeReader {
 public:
  explicit ShapeReader(ParamsShape& shape) : shape_(shape) {}

  bool null() { return Scalar(ParamsShape::kNull); }
  bool boolean(bool) { return Scalar(ParamsShape::kNotJson); }
  bool number_integer(json::number_integer_t) { return Scalar(ParamsShape::kNotJson); }
  bool number_unsigned(json::number_unsigned_t) { return Scalar(ParamsShape::kNotJson); }
  bool number_float(json::number_float_t, const json::string_t&) { return Scalar(ParamsShape::kNotJson); }
  bool string(json::string_t&) { return Scalar(ParamsShape::kNotJson); }
  bool binary(json::binary_t&) { return Scalar(ParamsShape::kNotJson); }
  bool start_object(std::size_t) { return Open(ParamsShape::kObject); }
  bool key(json::string_t& name) {
    if (depth_ == 1 && !MatchEventName(name)) shape_.badKeys.push_back(name);
    return true;
  }
  bool end_object() { return Close(); }
  bool start_array(std::size_t) { return Open(ParamsShape::kNotJson); }
  bool end_array() { return Close(); }
  bool parse_error(std::size_t, const std::string&, const json::exception&) { return false; }

 private:
  bool Scalar(ParamsShape::Kind kind) {
    if (depth_ == 0) shape_.kind = kind;
    return true;
  }
  bool Open(ParamsShape::Kind kind) {
    Scalar(kind);
    ++depth_;
    return true;
  }
  bool Close() {
    --depth_;
    return true;
  }

  ParamsShape& shape_;
  int depth_ = 0;
};

// The parameters most games post: an object whose member names are event
// names and whose values are short numbers, plain strings, literals or such
// objects and arrays again. Text in this subset is JSON for certain, so it is
// read in one pass without the library; true when the whole text is in it. No
// escapes, exponents, long numbers or bytes beyond ASCII: those go the exact way.
class PlainObject {
 public:
  explicit PlainObject(const std::string& text) : p_(text.data()), end_(text.data() + text.size()) {}

  bool Whole() {
    Space();
    if (!Object(0)) return false;
    Space();
    return p_ == end_;
  }

 private:
  static constexpr int kMaxDepth = 16;
  static constexpr int kMaxDigits = 15;  // any such number is finite as a double

  bool Object(int depth) {
    if (!Eat('{') || depth >= kMaxDepth) return false;
    Space();
    if (Eat('}')) return true;
    do {
      Space();
      if (!Name()) return false;
      Space();
      if (!Eat(':') || !Value(depth)) return false;
      Space();
    } while (Eat(','));
    return Eat('}');
  }
  bool Array(int depth) {
    if (!Eat('[') || depth >= kMaxDepth) return false;
    Space();
    if (Eat(']')) return true;
    do {
      if (!Value(depth)) return false;
      Space();
    } while (Eat(','));
    return Eat(']');
  }
  bool Value(int depth) {
    Space();
    if (p_ == end_) return false;
    switch (*p_) {
      case '{': return Object(depth + 1);
      case '[': return Array(depth + 1);
      case '"': return String();
      case 't': return Word("true");
      case 'f': return Word("false");
      case 'n': return Word("null");
      default: return Number();
    }
  }
  bool Name() {
    const char* start = p_ + 1;
    if (!String()) return false;
    for (const char* c = start; c < p_ - 1; ++c)
      if (!IsNameChar(*c)) return false;
    return p_ - 1 > start;
  }
  bool String() {
    if (!Eat('"')) return false;
    for (; p_ != end_; ++p_) {
      const auto c = static_cast<unsigned char>(*p_);
      if (c == '"') {
        ++p_;
        return true;
      }
      if (c < 0x20 || c >= 0x7f || c == '\\') return false;
    }
    return false;
  }
  bool Number() {
    Eat('-');
    int digits = 0;
    if (Eat('0')) {
      digits = 1;
    } else {
      digits = Digits();
      if (digits == 0) return false;
    }
    if (Eat('.')) {
      const int fraction = Digits();
      if (fraction == 0) return false;
      digits += fraction;
    }
    return digits <= kMaxDigits && (p_ == end_ || (*p_ != 'e' && *p_ != 'E'));
  }
  int Digits() {
    int n = 0;
    for (; p_ != end_ && *p_ >= '0' && *p_ <= '9'; ++p_) ++n;
    return n;
  }
  bool Word(const char* word) {
    for (; *word != '\0'; ++word)
      if (!Eat(*word)) return false;
    return true;
  }
  bool Eat(char c) {
    if (p_ == end_ || *p_ != c) return false;
    ++p_;
    return true;
  }
  void Space() {
    while (p_ != end_ && (*p_ == ' ' || *p_ == '\t' || *p_ == '\n' || *p_ == '\r')) ++p_;
  }
  const char* p_;
  const char* end_;
};

// The value rule of each required parameter, by parameter name.
bool ParamValueOk(const std::string& param, const json& value) {
  if (param == "isFirstEnter") {
    if (value.is_number_unsigned()) return value.get<std::uint64_t>() <= 1;
    if (value.is_number_integer()) {
      auto v = value.get<std::int64_t>();
      return v == 0 || v == 1;
    }
    return false;
  }
  if (param == "nickname") return value.is_string() && !value.get_ref<const std::string&>().empty();
  if (param == "registerTime") return value.is_number() && CompactJson(value).size() == 13;  // a millisecond time stamp
  return true;
}

}  // namespace

bool MatchEventName(const std::string& text) {
  // Same as the whole-text match of ^[a-zA-Z0-9_]+$, without std::regex, whose
  // matcher recurses per character and would overflow the stack on long names.
  return !text.empty() && std::all_of(text.begin(), text.end(), IsNameChar);
}

ParamsShape ScanParams(const std::string& params) {
  ParamsShape shape;
  if (params.empty()) return shape;
  if (PlainObject(params).Whole()) {
    shape.kind = ParamsShape::kObject;
    return shape;
  }
  ShapeReader reader(shape);
  // Brackets too deep for the document are not JSON to us either, whatever follows them.
  if (NestsDeeperThan(params, kMaxParamDepth) || !json::sax_parse(params, &reader)) {
    shape = ParamsShape();
    shape.kind = ParamsShape::kNotJson;
    return shape;
  }
  // Names are kept only at the top of an object. In the order, and as often, as the document's members come.
  std::sort(shape.badKeys.begin(), shape.badKeys.end());
  shape.badKeys.erase(std::unique(shape.badKeys.begin(), shape.badKeys.end()), shape.badKeys.end());
  return shape;
}

void LogEventFindings(const EventTable* table, const std::string& name, const std::string& params) {
  if (!MatchEventName(name)) LOG(ERROR) << "Post Event Name Error:" << name;
  const ParamsShape shape = ScanParams(params);
  if (shape.kind == ParamsShape::kNotJson) {
    // Not JSON, or JSON that is not an object: nothing of it can become a member.
    LOG(ERROR) << "Post Event Param Error, Not Valid JSON:" << params;
  }
  for (const std::string& key : shape.badKeys) LOG(ERROR) << "Post Event Param Error:" << key;
  if (table != nullptr && table->requiredParams.contains(name))
    LogRequiredParamFindings(*table, name, params, ParseEventParams(params));
}

void LogRequiredParamFindings(const EventTable& table, const std::string& name, const std::string& params,
                              const json& parsed) {
  auto entry = table.requiredParams.find(name);
  if (entry == table.requiredParams.end()) return;
  LOG(INFO) << "Star Check Event Name:" << name << ",Params:" << params;
  if (parsed.is_discarded()) {
    LOG(ERROR) << "Event Check Param Error, Params Not Json:" << params;
    return;
  }
  for (auto it = entry->begin(); it != entry->end(); ++it) {
    const std::string& param = it.key();
    auto member = parsed.is_object() ? parsed.find(param) : parsed.end();
    if (!parsed.is_object() || member == parsed.end()) {
      LOG(ERROR) << "Check Event Error, Not Contain Musted Param, Name:" << param;
      continue;
    }
    if (!ParamValueOk(param, *member)) {
      LOG(ERROR) << "Check Event Error, Param Value Incorrect, Name:" << param << ", Value:" << CompactJson(*member);
    }
  }
}

}  // namespace NimoSdk
