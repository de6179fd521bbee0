#include "http/Request.h"

#include <stdexcept>

#include "http/Connection.h"
#include "http/Error.h"
#include "http/Settings.h"
#include "http/Strings.h"
#include "platform/net/Socket.h"

namespace sion {

Request& Request::SetUrl(const std::string& text) {
  url = text;
  return *this;
}

Request& Request::SetBody(const std::string& text) {
  body.assign(text.begin(), text.end());
  return *this;
}

Request& Request::SetHeader(const Header& list) {
  header = list;
  return *this;
}

Request& Request::SetMethod(Method m) {
  switch (m) {
    case Method::Get:
      method = "GET";
      break;
    case Method::Post:
      method = "POST";
      break;
    case Method::Put:
      method = "PUT";
      break;
    case Method::Delete:
      method = "DELETE";
      break;
  }
  return *this;
}

void Request::CheckMethod() const { Check<std::invalid_argument>(!method.empty(), "请求方法未定义"); }

namespace {

bool IsHostChar(char c) {
  return (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || (c >= '0' && c <= '9') || c == '_' || c == '.' || c == '-';
}

bool IsDigit(char c) { return c >= '0' && c <= '9'; }

struct UrlParts {
  std::string scheme, host, port, target;
};

// The URL rule ^(http|https)://([\w.-]*):?(\d*)(/?.*)$ (ECMAScript, '.' not
// matching CR or LF), written out: every part is taken greedily, which is the
// match the expression finds whenever it matches at all. Refusing CR and LF
// keeps a URL from smuggling header lines.
bool SplitUrl(const std::string& url, UrlParts& out) {
  std::size_t p;
  if (url.compare(0, 7, "http://") == 0) {
    out.scheme = "http";
    p = 7;
  } else if (url.compare(0, 8, "https://") == 0) {
    out.scheme = "https";
    p = 8;
  } else {
    return false;
  }
  if (url.find_first_of("\r\n", p) != std::string::npos) return false;
  std::size_t hostEnd = p;
  while (hostEnd < url.size() && IsHostChar(url[hostEnd])) ++hostEnd;
  std::size_t portStart = hostEnd < url.size() && url[hostEnd] == ':' ? hostEnd + 1 : hostEnd;
  std::size_t portEnd = portStart;
  while (portEnd < url.size() && IsDigit(url[portEnd])) ++portEnd;
  out.host = url.substr(p, hostEnd - p);
  out.port = url.substr(portStart, portEnd - portStart);
  out.target = url.substr(portEnd);
  return true;
}

}  // namespace

void Request::ParseUrl() {
  UrlParts parts;
  Check<std::invalid_argument>(SplitUrl(url, parts), "url格式不对或者是用了除http(s)外的协议");
  protocol = parts.scheme;
  port = !parts.port.empty() ? ParseInt(parts.port) : (protocol == "http" ? 80 : 443);
  host = parts.host;
  path = !parts.target.empty() ? parts.target : "/";
}

void Request::Serialize() {
  header.Add("Host", host);
  header.Add("Content-Length", std::to_string(body.size()));
  std::string text = method + " " + path + " " + protocol_version + kCrlf;
  for (const auto& pair : header.Pairs()) text += pair.first + ": " + pair.second + kCrlf;
  text += kCrlf;
  source.insert(source.end(), text.begin(), text.end());
  source.insert(source.end(), body.begin(), body.end());
}

std::string GetIpByHost(const std::string& host) {
  std::string address;
  std::string text;
  int r = nimo_net::ResolveIpv4(host, address, text);
  if (r != 0) throw Error("错误" + std::to_string(r) + text, ErrorKind::Dns, "cannot resolve " + host);
  return address;
}

Response Request::Send(AbortHandle* abort) {
  CheckMethod();
  ParseUrl();
  bool connected = false;
  try {
    Connection connection(abort, GetTimeouts());
    ip = HasAsciiLetter(host) ? connection.Resolve(host) : host;
    Check<std::invalid_argument>(nimo_net::IsIpv4(ip), "地址转换错误");
    connection.Connect(host, ip, static_cast<unsigned short>(port));
    connected = true;
    Serialize();
    if (protocol != "http") connection.StartTls(host, ip, port);
    connection.WriteAll(source);
    Response response = ReadResponse(connection);
    connection.Finish();
    return response;
  } catch (const Error& e) {
    // One type past this point, whatever failed (a closed peer gives an empty text).
    throw Error(e.what(), e.kind(), e.detail());
  } catch (const std::exception& e) {
    // Past the connection only the answer's numbers can fail to convert.
    if (connected) throw Error(e.what(), ErrorKind::Protocol, "unusable number in the answer's framing");
    throw Error(e.what(), ErrorKind::Other, "not a usable IPv4 address: " + ip);
  }
}

}  // namespace sion
