// Purchases against the sandbox, whose Steam stand-in plays the player: the
// fixture of the purchase tests and of the purchase journal's.
#pragma once

#include <nlohmann/json.hpp>
#include <string>
#include <vector>

#include "Sdk/CNimoPay.h"
#include "Sdk/Singletons.h"
#include "nimosdk64.h"
#include "support/SdkHarness.h"

namespace nimo_test {

class Purchase : public SdkTest {
 protected:
  void Buy(const std::string& productId, const std::string& extInfo = "") {
    NimoProxy::CallPay(std::wstring(productId.begin(), productId.end()), std::wstring(extInfo.begin(), extInfo.end()),
                       CallbackRecorder::Callback);
  }
  std::vector<std::string> PayResultBodies() {
    std::vector<std::string> out;
    for (const auto& r : Server().Requests())
      if (r.endpoint == "pay_result") out.push_back(r.body);
    return out;
  }
  std::string JournalPath() const { return home_->SdkFolder() + "/480/PayJournal"; }
  nlohmann::json Entries() const {
    nlohmann::json doc = nlohmann::json::parse(ReadText(JournalPath()), nullptr, false);
    return doc.is_object() ? doc["entries"] : nlohmann::json::array();
  }
};

}  // namespace nimo_test
