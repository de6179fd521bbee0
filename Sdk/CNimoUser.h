// The account: the login request and what its answer does to the core.
#pragma once

#include <string>

#include "Sdk/GameCallback.h"
#include "Sdk/HttpResp.h"

namespace NimoSdk {

class CNimoUser {
 public:
  // Sends the login request with the Steam id and the ticket text; the answer
  // sets the session and reaches callback on an HTTP worker.
  static void Login(std::string puserId, std::string accessToken, GameCallback callback);
  // The answer handler, separate so it can be driven directly.
  static void OnLoginAnswer(const HttpResp& resp, const std::string& puserId, GameCallback callback);
};

}  // namespace NimoSdk
