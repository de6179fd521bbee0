// What each endpoint of the publisher API expects on the wire: the exact order
// of its body parameters and the list of values its signature covers. The
// server side is written independently of the SDK's builders on purpose.
#pragma once

#include <cstddef>
#include <map>
#include <string>
#include <vector>

namespace nimo_sandbox {

enum class Endpoint { Config, Attribution, Login, Products, CreateOrder, PayResult, Track };
constexpr int kEndpointCount = 7;
const char* EndpointName(Endpoint e);  // "config", "attribution", "login", "products", "create_order", "pay_result", "track"
bool EndpointFromName(const std::string& name, Endpoint* out);
// The endpoints a fault names: one by its name, or every one for "all"; empty when unknown.
std::vector<Endpoint> EndpointsNamed(const std::string& name);
const char* EndpointPath(Endpoint e);  // "/sdkapi/v22/init.do", ..., "/data/h5/v1.do"

struct FormSpec {
  std::vector<std::string> bodyKeys;  // in wire order, "osign" last
  std::vector<std::string> signKeys;  // body keys, or "appKey" for the key the server holds
};
// Not defined for Track, which is not signed.
const FormSpec& SpecOf(Endpoint e);

using Form = std::map<std::string, std::string>;

// Every reading of body as "k1=v1&k2=v2...&kn=vn" with exactly these keys in this
// order. Values are raw (no URL decoding) and may hold "&" and "=", so a body can
// have more than one reading; at most cap are returned, and hostile bodies cost a
// bounded amount of work.
std::vector<Form> SplitOrdered(const std::string& body, const std::vector<std::string>& keys, std::size_t cap = 8);
// The first key that cannot be found in order, for a refusal message.
std::string FirstMissingKey(const std::string& body, const std::vector<std::string>& keys);

std::string SignText(const Form& form, const FormSpec& spec, const std::string& appKey);
std::string Md5Hex(const std::string& text);

}  // namespace nimo_sandbox
