// The publisher API behind the HTTPS server: the checks every signed request
// passes (content type, parameter order, appId, signature) and what each
// endpoint does and answers. Called from server threads, one per request.
#pragma once

#include <functional>
#include <nlohmann/json.hpp>
#include <string>

#include "tools/sandbox/Catalog.h"
#include "tools/sandbox/Settings.h"
#include "tools/sandbox/SignedForm.h"
#include "tools/sandbox/SteamSide.h"
#include "tools/sandbox/StopSignal.h"
#include "tools/sandbox/Store.h"

namespace nimo_sandbox {

struct Outcome {
  nlohmann::json answer;
  std::string note;                 // set when refused
  std::function<void()> afterSend;  // runs once the answer has left (or failed to)
};

// {"code":200,"msg":"Success"}, which every accepted answer starts from.
nlohmann::json Success();
// Values echoed in messages stay short.
std::string Clip(const std::string& s);

class Api {
 public:
  // All of them outlive the Api; the catalog is filled in before the first request.
  Api(const Catalog& catalog, Store& store, SteamSide& steam, const Settings& settings, StopSignal& stop)
      : catalog(catalog), store(store), steam(steam), settings(settings), stop(stop) {}

  // *check: the common check that refused it, if one did.
  Outcome Process(Endpoint e, const std::string& body, const std::string& contentType, std::string* check);

 private:
  Outcome Signed(Endpoint e, const Form& f, const App& app);
  Outcome Login(const Form& f, const App& app);
  Outcome Products(const Form& f, const App& app);
  Outcome CreateOrder(const Form& f, const App& app);
  Outcome PayResult(const Form& f, const App& app);
  Outcome Track(const std::string& body, const std::string& contentType);

  const Catalog& catalog;
  Store& store;
  SteamSide& steam;
  const Settings& settings;
  StopSignal& stop;
};

}  // namespace nimo_sandbox
