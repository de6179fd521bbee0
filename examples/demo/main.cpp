// The demo game: what a game does with the SDK, from start to exit.
//
// Results arrive through callbacks on the SDK's threads, so the game keeps a small
// mailbox: each callback stores its result and wakes the game thread, which waits
// for it while showing progress. A real game would poll the mailbox once a frame.
// Purchases are granted from the purchase listener's mailbox and then finished,
// so one the game quits before granting comes again at the next start.
//   nimo-demo [--quit-unfinished]   (quits right after the purchase is paid, before
//   granting it; run the demo again with the same data folder to receive it)
#include <chrono>
#include <cmath>
#include <condition_variable>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <mutex>
#include <string>
#include <vector>

#include "nimosdk64.h"
#include "nimosdk64_c.h"

namespace {

// --- text: the SDK speaks wide strings; the terminal speaks UTF-8 ---
std::string ToUtf8(const std::wstring& w) {
  std::string out;
  for (wchar_t wc : w) {
    auto c = static_cast<unsigned long>(wc);
    if (c > 0x10FFFF || (c >= 0xD800 && c <= 0xDFFF)) c = 0xFFFD;
    if (c < 0x80) {
      out += static_cast<char>(c);
    } else if (c < 0x800) {
      out += static_cast<char>(0xC0 | (c >> 6));
      out += static_cast<char>(0x80 | (c & 0x3F));
    } else if (c < 0x10000) {
      out += static_cast<char>(0xE0 | (c >> 12));
      out += static_cast<char>(0x80 | ((c >> 6) & 0x3F));
      out += static_cast<char>(0x80 | (c & 0x3F));
    } else {
      out += static_cast<char>(0xF0 | (c >> 18));
      out += static_cast<char>(0x80 | ((c >> 12) & 0x3F));
      out += static_cast<char>(0x80 | ((c >> 6) & 0x3F));
      out += static_cast<char>(0x80 | (c & 0x3F));
    }
  }
  return out;
}

std::wstring ToWide(const std::string& s) { return std::wstring(s.begin(), s.end()); }  // ASCII only here

// --- the mailbox the callbacks fill ---
struct Result {
  int code = 0;
  std::string message;
  std::string data;
};

std::mutex gMutex;
std::condition_variable gCv;
std::vector<Result> gInbox;  // guarded by gMutex
std::vector<std::string> gPurchases;  // paid, not yet granted; guarded by gMutex

void OnResult(int code, std::wstring message, std::wstring data) {
  {
    std::lock_guard<std::mutex> lock(gMutex);
    gInbox.push_back({code, ToUtf8(message), ToUtf8(data)});
  }
  gCv.notify_all();
}

// The purchase listener: every paid purchase until the game finishes it.
void OnPurchase(const char* purchaseJson, void*) {
  {
    std::lock_guard<std::mutex> lock(gMutex);
    gPurchases.push_back(purchaseJson);
  }
  gCv.notify_all();
}

bool WaitForResult(const char* what, Result& out, int seconds = 20) {
  auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(seconds);
  std::unique_lock<std::mutex> lock(gMutex);
  std::printf("    waiting for %s ", what);
  std::fflush(stdout);
  while (gInbox.empty()) {
    if (gCv.wait_for(lock, std::chrono::milliseconds(250)) == std::cv_status::timeout) {
      if (std::chrono::steady_clock::now() > deadline) {
        std::printf(" no answer after %d s\n", seconds);
        return false;
      }
      std::printf(".");
      std::fflush(stdout);
    }
  }
  out = gInbox.front();
  gInbox.erase(gInbox.begin());
  std::printf(" done\n");
  std::printf("    callback: code=%d message=\"%s\"\n", out.code, out.message.c_str());
  if (!out.data.empty()) std::printf("              data=%s\n", out.data.c_str());
  return true;
}

// --- the steps and their summary ---
struct Step {
  std::string name;
  bool ok;
};
std::vector<Step> gSteps;

void Check(const std::string& name, bool ok) {
  gSteps.push_back({name, ok});
  std::printf("    => %s\n\n", ok ? "as expected" : "UNEXPECTED");
}

void Title(const char* text) { std::printf("%s\n", text); }

// A tiny reader for the flat JSON the SDK hands over ("key":value pairs).
std::string Member(const std::string& json, const std::string& key) {
  auto at = json.find("\"" + key + "\":");
  if (at == std::string::npos) return "";
  at += key.size() + 3;
  if (at < json.size() && json[at] == '"') {
    auto end = json.find('"', at + 1);
    return json.substr(at + 1, end - at - 1);
  }
  auto end = json.find_first_of(",}", at);
  return json.substr(at, end - at);
}

void PrintCatalogue(const std::string& data) {
  std::printf("    %-22s %-26s %8s\n", "productId", "productName", "amount");
  std::printf("    %-22s %-26s %8s\n", "---------", "-----------", "------");
  std::size_t at = 0;
  while ((at = data.find('{', at + 1)) != std::string::npos) {
    auto end = data.find('}', at);
    std::string item = data.substr(at, end - at + 1);
    std::printf("    %-22s %-26s %8s\n", Member(item, "productId").c_str(), Member(item, "productName").c_str(),
                Member(item, "gameCurrencyAmount").c_str());
    at = end;
  }
}

// Grants what the listener brought (waiting up to ms for the first), then
// finishes each: from then on the SDK forgets it. Returns how many.
int GrantPurchases(int ms) {
  std::vector<std::string> paid;
  {
    std::unique_lock<std::mutex> lock(gMutex);
    gCv.wait_for(lock, std::chrono::milliseconds(ms), [] { return !gPurchases.empty(); });
    paid.swap(gPurchases);
  }
  for (const std::string& p : paid) {
    const std::string order = Member(p, "orderId");
    std::printf("    listener: %s\n    granted %s to user %s, finishing order %s\n", p.c_str(),
                Member(p, "productId").c_str(), Member(p, "userId").c_str(), order.c_str());
    nimo_finish_purchase(order.c_str());
  }
  return static_cast<int>(paid.size());
}

std::string EnvOr(const char* name, const char* fallback) {
  const char* v = std::getenv(name);
  return (v != nullptr && *v != '\0') ? v : fallback;
}

}  // namespace

int main(int argc, char** argv) {
  const bool quitUnfinished = argc > 1 && std::strcmp(argv[1], "--quit-unfinished") == 0;
  // The defaults are the sandbox's first game and its products.
  const std::string appId = EnvOr("DEMO_APP_ID", "10001");
  const std::string appKey = EnvOr("DEMO_APP_KEY", "sandbox-key-10001");
  const std::string approved = EnvOr("DEMO_PRODUCT_APPROVED", "gem_60");
  const std::string declined = EnvOr("DEMO_PRODUCT_DECLINED", "gem_300");
  Result r;

  Title("1. Before Init, purchases are not available");
  bool pay = NimoProxy::IsPayAvailable();
  std::printf("    IsPayAvailable() = %s\n", pay ? "true" : "false");
  Check("IsPayAvailable before Init is false", !pay);

  Title("2. Init(appId, appKey, callback): Steam, then the client configuration");
  nimo_set_purchase_listener(OnPurchase, nullptr);  // before Init
  NimoProxy::Init(ToWide(appId), ToWide(appKey), OnResult);
  Check("Init answers 200", WaitForResult("the configuration answer", r) && r.code == 200);
  std::printf("    purchases an earlier run left unfinished: %d\n", GrantPurchases(500));
  std::printf("    IsPayAvailable() = %s\n\n", NimoProxy::IsPayAvailable() ? "true" : "false");

  Title("3. Login(callback): Steam auth ticket, then the publisher's login");
  NimoProxy::Login(OnResult);
  Check("Login answers 200 with a token", WaitForResult("Steam and the login answer", r) && r.code == 200 &&
                                              !Member(r.data, "token").empty());

  Title("4. Tell the SDK who the player is in the game");
  NimoProxy::SetServerId(L"server-1");
  NimoProxy::SetGameUserId(L"hero-42");
  NimoProxy::SetNickName(L"Aria");
  NimoProxy::SetLevel(7);
  std::printf("    SetServerId(server-1) SetGameUserId(hero-42) SetNickName(Aria) SetLevel(7)\n");
  Check("setters return at once", true);

  Title("5. QueryProducts(callback): the Steam catalogue");
  NimoProxy::QueryProducts(OnResult);
  bool catalogue = WaitForResult("the catalogue", r) && r.code == 200;
  if (catalogue) PrintCatalogue(r.data);
  Check("QueryProducts answers 200 with products", catalogue && r.data.find("productList") != std::string::npos);

  Title(("6. CallPay(" + approved + "): the player approves in the Steam overlay").c_str());
  NimoProxy::CallPay(ToWide(approved), L"{\"chest\":\"gold\"}", OnResult);
  Check("approved purchase: code 200, status 1",
        WaitForResult("order, Steam and the payment result", r) && r.code == 200 && Member(r.data, "status") == "1");
  if (quitUnfinished) {
    std::printf("    --quit-unfinished: the game dies before granting order %s\n", Member(r.data, "orderId").c_str());
    std::fflush(stdout);
    std::_Exit(0);
  }
  Check("the listener brings it; granted and finished", GrantPurchases(5000) == 1);

  Title(("7. CallPay(" + declined + "): the player declines").c_str());
  NimoProxy::CallPay(ToWide(declined), L"second", OnResult);
  Check("declined purchase: status 0", WaitForResult("order, Steam and the payment result", r) &&
                                           Member(r.data, "status") == "0");

  Title("8. CallPay(no_such_product): an id the catalogue lacks");
  NimoProxy::CallPay(L"no_such_product", L"", OnResult);
  Check("unknown product: -400", WaitForResult("the refusal", r) && r.code == -400);

  Title("9. PostEvent: a custom event and a built-in one (fire and forget)");
  NimoProxy::PostEvent(L"boss_defeated", L"{\"boss\":\"dragon\",\"seconds\":93}", 1.0);
  NimoProxy::PostEvent(L"zko_level_achieved", L"{\"stage\":3}", std::nan(""));
  std::printf("    PostEvent(boss_defeated) PostEvent(zko_level_achieved)\n");
  Check("events posted without blocking", true);

  Title("10. Logout, then a purchase is refused");
  NimoProxy::Logout();
  NimoProxy::CallPay(ToWide(approved), L"", OnResult);
  Check("purchase after Logout: -405", WaitForResult("the refusal", r) && r.code == -405);

  Title("11. Exit: the SDK stops its threads");
  auto start = std::chrono::steady_clock::now();
  NimoProxy::Exit();
  auto ms = std::chrono::duration_cast<std::chrono::milliseconds>(std::chrono::steady_clock::now() - start).count();
  std::printf("    Exit() returned after %lld ms\n", static_cast<long long>(ms));
  Check("Exit returns within a second", ms < 1000);

  int ok = 0;
  std::printf("Summary\n");
  for (const auto& s : gSteps) {
    std::printf("  [%s] %s\n", s.ok ? " ok " : "FAIL", s.name.c_str());
    ok += s.ok ? 1 : 0;
  }
  std::printf("%d of %zu steps as expected\n", ok, gSteps.size());
  return ok == static_cast<int>(gSteps.size()) ? 0 : 1;
}
