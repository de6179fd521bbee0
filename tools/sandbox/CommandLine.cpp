#include <cerrno>
#include <cstdlib>

#include "tools/sandbox/Sandbox.h"

namespace nimo_sandbox {
namespace {

bool Port(const std::string& s, int* out) {
  char* end = nullptr;
  errno = 0;
  long v = std::strtol(s.c_str(), &end, 10);
  if (s.empty() || errno != 0 || *end != '\0' || v < 0 || v > 65535) return false;
  *out = static_cast<int>(v);
  return true;
}

bool Millis(const std::string& s, int* out) {
  char* end = nullptr;
  errno = 0;
  long v = std::strtol(s.c_str(), &end, 10);
  if (s.empty() || errno != 0 || *end != '\0' || v < 0 || v > 24L * 3600 * 1000) return false;
  *out = static_cast<int>(v);
  return true;
}

}  // namespace

std::string Usage() {
  return "usage: nimo-sandbox --state DIR [options]\n"
         "  --port N                 HTTPS port on 127.0.0.1 (0, the default: any free port)\n"
         "  --steam-port N           Steam side port on 127.0.0.1 (0, the default: any free port)\n"
         "  --state DIR              certificates, orders, events (created when missing)\n"
         "  --config FILE            game keys and catalogue (default: the built-in catalogue)\n"
         "  --print-config           print the built-in catalogue as a config file and exit\n"
         "  --player MODE            what the player does in Steam: approve (default), decline, never\n"
         "  --player-product ID=MODE the same for one product (repeatable)\n"
         "  --steam-delay-ms N       Steam answers N ms after the create-order answer (default 250)\n"
         "  --steam-first            Steam's answer reaches the game first; the create-order answer\n"
         "                           follows N ms (--steam-delay-ms) after its delivery\n"
         "  --fault ENDPOINT=MODE[:ARG][,delay=MS][,times=N][,match=TEXT]  (repeatable)\n"
         "                           ENDPOINT: config attribution login products create_order pay_result track all\n"
         "                           MODE: delay:MS hang http502 truncated code:N[:MSG] status:N[:MSG] close lost none\n"
         "                           (lost: processed, then the answer is lost)\n"
         "  --test-device            answer isTestDevice 1 to every client\n"
         "  --hang-limit-ms N        a hanging answer gives up after N ms (default 120000)\n"
         "  --exit-on-stdin-eof      also stop when standard input ends\n"
         "  --quiet                  no request log on standard error\n"
         "  --view-port N            the live view page, plain HTTP on 127.0.0.1 (0, the default: any free port)\n"
         "  --no-view                no live view page\n";
}

bool ParseCommandLine(const std::vector<std::string>& args, CommandLine* out, std::string* error) {
  CommandLine cl;
  for (std::size_t i = 0; i < args.size(); ++i) {
    const std::string& a = args[i];
    auto value = [&](std::string* v) {
      if (i + 1 >= args.size()) {
        *error = a + " needs a value";
        return false;
      }
      *v = args[++i];
      return true;
    };
    std::string v;
    if (a == "--help" || a == "-h") {
      cl.help = true;
    } else if (a == "--print-config") {
      cl.printConfig = true;
    } else if (a == "--test-device") {
      cl.options.testDevice = true;
    } else if (a == "--exit-on-stdin-eof") {
      cl.exitOnStdinEof = true;
    } else if (a == "--steam-first") {
      cl.options.player.steamFirst = true;
    } else if (a == "--quiet") {
      cl.quiet = true;
    } else if (a == "--no-view") {
      cl.view = false;
    } else if (a == "--port" || a == "--steam-port" || a == "--view-port") {
      if (!value(&v)) return false;
      if (!Port(v, a == "--port" ? &cl.options.port : a == "--steam-port" ? &cl.options.steamPort : &cl.viewPort)) {
        *error = a + " needs a port number 0-65535, got '" + v + "'";
        return false;
      }
    } else if (a == "--state") {
      if (!value(&cl.options.stateDir)) return false;
    } else if (a == "--config") {
      if (!value(&cl.options.configFile)) return false;
    } else if (a == "--player") {
      if (!value(&v)) return false;
      if (!PlayerModeFromName(v, &cl.options.player.mode)) {
        *error = "--player is approve, decline or never, got '" + v + "'";
        return false;
      }
    } else if (a == "--player-product") {
      if (!value(&v)) return false;
      auto eq = v.rfind('=');
      PlayerMode m;
      if (eq == std::string::npos || eq == 0 || !PlayerModeFromName(v.substr(eq + 1), &m)) {
        *error = "--player-product is PRODUCT=approve|decline|never, got '" + v + "'";
        return false;
      }
      cl.options.player.perProduct[v.substr(0, eq)] = m;
    } else if (a == "--steam-delay-ms" || a == "--hang-limit-ms") {
      if (!value(&v)) return false;
      if (!Millis(v, a == "--steam-delay-ms" ? &cl.options.player.delayMs : &cl.options.hangLimitMs)) {
        *error = a + " needs milliseconds, got '" + v + "'";
        return false;
      }
    } else if (a == "--fault") {
      if (!value(&v)) return false;
      std::string endpoint;
      Fault f;
      if (!ParseFaultFlag(v, &endpoint, &f, error)) return false;
      if (EndpointsNamed(endpoint).empty()) {
        *error = "unknown endpoint '" + endpoint + "' in --fault";
        return false;
      }
      cl.options.faults.emplace_back(endpoint, f);
    } else {
      *error = "unknown argument '" + a + "'";
      return false;
    }
  }
  if (cl.options.stateDir.empty() && !cl.help && !cl.printConfig) {
    *error = "--state DIR is required";
    return false;
  }
  *out = std::move(cl);
  return true;
}

}  // namespace nimo_sandbox
