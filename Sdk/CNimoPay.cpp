#include "Sdk/CNimoPay.h"

namespace NimoSdk {

void CNimoPay::QueryProducts(ResultCallback) {}
void CNimoPay::CreateOrder(std::string, std::string, ResultCallback) {}
void CNimoPay::PayResult(std::string, std::string) {}

}  // namespace NimoSdk
