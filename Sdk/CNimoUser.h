// The account: the login request and what its answer does to the session.
#pragma once

#include <string>

#include "Sdk/CNimoApi.h"
#include "Sdk/CNimoTrack.h"
#include "Sdk/GameCallback.h"
#include "Sdk/HttpResp.h"
#include "Sdk/SessionEnd.h"
#include "Sdk/SessionFacts.h"

namespace NimoSdk {

class CNimoUser {
 public:
  // api: the server; facts: where the session goes; track: the login event;
  // end: an answer after Exit is dropped.
  CNimoUser(CNimoApi& api, SessionFacts& facts, CNimoTrack& track, const SessionEnd& end)
      : api_(api), facts_(facts), track_(track), end_(end) {}
  CNimoUser(const CNimoUser&) = delete;
  CNimoUser& operator=(const CNimoUser&) = delete;

  // Sends the login request with the Steam id and the ticket text; the answer
  // sets the session and reaches callback on an HTTP worker.
  void Login(std::string puserId, std::string accessToken, GameCallback callback);

 private:
  void OnLoginAnswer(const HttpResp& resp, const std::string& puserId, GameCallback callback);

  CNimoApi& api_;
  SessionFacts& facts_;
  CNimoTrack& track_;
  const SessionEnd& end_;
};

}  // namespace NimoSdk
