#include "Sdk/PurchaseJournal.h"

#include <easylogging++.h>

#include <algorithm>
#include <chrono>
#include <nlohmann/json.hpp>
#include <system_error>

#include "Sdk/JsonFields.h"
#include "Sdk/NimoConfigUtils.h"
#include "platform/sync/Mutex.h"
#include "platform/sys/FileLock.h"
#include "platform/sys/FileSystem.h"

namespace NimoSdk {
namespace {

constexpr const char kFileName[] = "PayJournal";
constexpr const char kAppConf[] = "AppConf";

// Never destroyed: HTTP workers and the Steam pump may write late.
nimo_sync::Mutex& JournalMutex() {
  static nimo_sync::Mutex* const m = new nimo_sync::Mutex();
  return *m;
}

json ProductToJson(const ProductInfo& p) {
  json j = json::object();
  j["channelProductId"] = p.channelProductId;
  j["gameCurrencyAmount"] = p.gameCurrencyAmount;
  j["productCurrencyCode"] = p.productCurrencyCode;
  j["productDesc"] = p.productDesc;
  j["productId"] = p.productId;
  j["productName"] = p.productName;
  return j;
}

json OrderToJson(const PayOrder& o) {
  json j = json::object();
  j["defaultAmountMicro"] = o.defaultAmountMicro;
  j["defaultCurrency"] = o.defaultCurrency;
  j["extInfo"] = o.extInfo;
  j["gameUserId"] = o.gameUserId;
  j["nickName"] = o.nickName;
  j["orderId"] = o.orderId;
  j["product"] = ProductToJson(o.product);
  j["productName"] = o.productName;
  j["serverId"] = o.serverId;
  j["steamTransId"] = o.steamTransId;
  j["userId"] = o.userId;
  j["virtualCoinAmount"] = o.virtualCoinAmount;
  j["virtualCurrency"] = o.virtualCurrency;
  return j;
}

bool OrderFromJson(const json& j, PayOrder& o) {
  if (!j.is_object()) return false;
  auto product = j.find("product");
  if (product == j.end() || !product->is_object()) return false;
  const json& p = *product;
  return ReadString(p, "channelProductId", o.product.channelProductId) &&
         ReadInt32(p, "gameCurrencyAmount", o.product.gameCurrencyAmount) &&
         ReadString(p, "productCurrencyCode", o.product.productCurrencyCode) &&
         ReadString(p, "productDesc", o.product.productDesc) && ReadString(p, "productId", o.product.productId) &&
         ReadString(p, "productName", o.product.productName) &&
         ReadInt64(j, "defaultAmountMicro", o.defaultAmountMicro) &&
         ReadString(j, "defaultCurrency", o.defaultCurrency) && ReadString(j, "extInfo", o.extInfo) &&
         ReadString(j, "gameUserId", o.gameUserId) && ReadString(j, "nickName", o.nickName) &&
         ReadString(j, "orderId", o.orderId) && ReadString(j, "productName", o.productName) &&
         ReadString(j, "serverId", o.serverId) && ReadString(j, "steamTransId", o.steamTransId) &&
         ReadString(j, "userId", o.userId) && ReadInt64(j, "virtualCoinAmount", o.virtualCoinAmount) &&
         ReadString(j, "virtualCurrency", o.virtualCurrency);
}

bool EntryFromJson(const json& j, PurchaseJournal::Entry& e) {
  if (!j.is_object()) return false;
  auto created = j.find("createdMs");
  if (!ReadString(j, "steamOrderId", e.steamOrderId) || e.steamOrderId.empty() || created == j.end() ||
      !created->is_number_integer() || !ReadString(j, "steamStatus", e.steamStatus)) {
    return false;
  }
  e.createdMs = created->get<std::int64_t>();
  if (!e.steamStatus.empty() && e.steamStatus != "0" && e.steamStatus != "1") return false;
  auto order = j.find("order");
  e.hasOrder = order != j.end() && !order->is_null();
  if (e.hasOrder && !OrderFromJson(*order, e.order)) return false;
  if (!e.hasOrder && e.steamStatus.empty()) return false;  // neither an order nor an answer
  auto unfinished = j.find("unfinished");
  e.unfinished = unfinished != j.end() && unfinished->is_boolean() && unfinished->get<bool>();
  if (e.unfinished && (!e.hasOrder || e.steamStatus != "1")) return false;  // only a paid order is unfinished
  e.order.steamOrderId = e.steamOrderId;
  return true;
}

// The file's text (the compact dump of {"entries":[...],"version":1}). What the
// reader would refuse is left out, so one odd entry never costs the others.
std::string Serialise(const std::vector<PurchaseJournal::Entry>& entries) {
  std::vector<std::string> items;
  std::vector<bool> unfinished;  // of each item
  std::size_t total = 0;
  for (const auto& e : entries) {
    json j = json::object();
    j["createdMs"] = e.createdMs;
    if (e.hasOrder) j["order"] = OrderToJson(e.order);
    j["steamOrderId"] = e.steamOrderId;
    if (!e.steamStatus.empty()) j["steamStatus"] = e.steamStatus;
    if (e.unfinished) j["unfinished"] = true;
    PurchaseJournal::Entry check;
    if (!EntryFromJson(j, check)) {
      LOG(ERROR) << "Pay Journal Entry Unwritable, Left Out SteamOrderId:" << e.steamOrderId
                 << ",SteamStatus:" << e.steamStatus;
      continue;
    }
    items.push_back(j.dump(-1, ' ', false, json::error_handler_t::replace));
    unfinished.push_back(e.unfinished);
    total += items.back().size() + 1;
  }
  // Nor may the file outgrow what the reader takes: the largest entries go,
  // paid purchases kept for the game last.
  while (total + 32 > PurchaseJournal::kMaxFileBytes) {
    std::size_t largest = items.size();
    for (std::size_t i = 0; i < items.size(); ++i) {
      const bool before = largest == items.size() || (unfinished[largest] && !unfinished[i]) ||
                          (unfinished[largest] == unfinished[i] && items[i].size() > items[largest].size());
      if (before) largest = i;
    }
    LOG(ERROR) << "Pay Journal Too Large, Left Out An Entry Of " << items[largest].size() << " Bytes";
    total -= items[largest].size() + 1;
    items.erase(items.begin() + static_cast<std::ptrdiff_t>(largest));
    unfinished.erase(unfinished.begin() + static_cast<std::ptrdiff_t>(largest));
  }
  std::string text = "{\"entries\":[";
  for (std::size_t i = 0; i < items.size(); ++i) text += (i == 0 ? "" : ",") + items[i];
  return text + "],\"version\":1}";
}

// The file is kept for whoever looks into it later; the journal starts afresh.
void PutAside(nimo_sys::FileSystem& fs, const std::string& path, const char* why) {
  std::string aside = path + ".bad-" + std::to_string(PurchaseJournal::NowMs());
  bool moved = fs.RenameIfAbsent(path, aside);
  for (int n = 1; !moved && n < 100 && fs.Exists(aside); ++n) {
    aside = path + ".bad-" + std::to_string(PurchaseJournal::NowMs()) + "-" + std::to_string(n);
    moved = fs.RenameIfAbsent(path, aside);
  }
  if (!moved) {
    LOG(ERROR) << "Pay Journal Unreadable (" << why << "), Cannot Keep It Aside:" << path;
    return;
  }
  LOG(ERROR) << "Pay Journal Unreadable (" << why << "), Kept Aside As:" << aside << ", Starting A New One.";
}

// A copy for whoever looks into it later; the journal itself carries on.
void CopyAside(nimo_sys::FileSystem& fs, const std::string& path, const std::string& text) {
  std::string aside = path + ".bad-" + std::to_string(PurchaseJournal::NowMs());
  for (int n = 1; n < 100 && fs.Exists(aside); ++n) {
    aside = path + ".bad-" + std::to_string(PurchaseJournal::NowMs()) + "-" + std::to_string(n);
  }
  if (nimo_sys::ReplaceFileContent(fs, aside, text, nimo_sys::Durability::kKill)) {
    LOG(ERROR) << "Pay Journal Entry Malformed, Skipped; The File Was Copied As:" << aside;
  } else {
    LOG(ERROR) << "Pay Journal Entry Malformed, Skipped; The File Could Not Be Copied Aside:" << path;
  }
}

// The entries of the file; none when it is missing or unreadable (put aside).
// skipped: a malformed entry was left out (the file should be written again).
std::vector<PurchaseJournal::Entry> ReadEntries(nimo_sys::FileSystem& fs, const std::string& path, bool& skipped) {
  std::vector<PurchaseJournal::Entry> entries;
  std::string text;
  if (!fs.Read(path, text, PurchaseJournal::kMaxFileBytes)) {
    if (fs.Exists(path)) PutAside(fs, path, "cannot be read, or too large");
    return entries;
  }
  if (NestsDeeperThan(text, PurchaseJournal::kMaxDepth)) {
    PutAside(fs, path, "nested too deep");
    return entries;
  }
  json doc = json::parse(text, nullptr, false);
  auto list = doc.is_object() ? doc.find("entries") : doc.end();
  if (doc.is_discarded() || !doc.is_object() || list == doc.end() || !list->is_array()) {
    PutAside(fs, path, "not a journal");
    return entries;
  }
  for (const json& item : *list) {
    PurchaseJournal::Entry e;
    if (EntryFromJson(item, e)) {
      entries.push_back(std::move(e));
    } else if (!skipped) {
      skipped = true;
      CopyAside(fs, path, text);
    }
  }
  return entries;
}

// Over the bound, the oldest entries go first, authorisations last. Unfinished
// purchases count apart: beyond theirs, the oldest goes.
void Trim(std::vector<PurchaseJournal::Entry>& entries) {
  auto isUnfinished = [](const PurchaseJournal::Entry& e) { return e.unfinished; };
  std::size_t unfinished = static_cast<std::size_t>(std::count_if(entries.begin(), entries.end(), isUnfinished));
  for (; unfinished > PurchaseJournal::kMaxUnfinished; --unfinished) {
    auto victim = std::find_if(entries.begin(), entries.end(), isUnfinished);
    LOG(ERROR) << "Too Many Unfinished Purchases, Dropped OrderId:" << victim->order.orderId;
    entries.erase(victim);
  }
  while (entries.size() - unfinished > PurchaseJournal::kMaxEntries) {
    auto victim = std::find_if(entries.begin(), entries.end(),
                               [](const PurchaseJournal::Entry& e) { return e.steamStatus != "1"; });
    if (victim == entries.end()) {
      victim = std::find_if_not(entries.begin(), entries.end(), isUnfinished);
      LOG(ERROR) << "Pay Journal Full, Dropped Authorised SteamOrderId:" << victim->steamOrderId;
    } else {
      LOG(WARNING) << "Pay Journal Full, Dropped SteamOrderId:" << victim->steamOrderId;
    }
    entries.erase(victim);
  }
}

// The newest entry of the Steam order id.
PurchaseJournal::Entry* Find(std::vector<PurchaseJournal::Entry>& entries, const std::string& id) {
  for (auto e = entries.rbegin(); e != entries.rend(); ++e) {
    if (e->steamOrderId == id) return &*e;
  }
  return nullptr;
}

}  // namespace

PurchaseJournal::PurchaseJournal(std::string path, nimo_sys::FileSystem& fs) : fixedPath_(std::move(path)), fs_(fs) {}

std::int64_t PurchaseJournal::NowMs() {
  return std::chrono::duration_cast<std::chrono::milliseconds>(std::chrono::system_clock::now().time_since_epoch())
      .count();
}

std::string PurchaseJournal::Path() const {
  if (!fixedPath_.empty()) return fixedPath_;
  // Beside AppConf, in the game's folder (or the data folder when that one
  // cannot be made).
  std::string conf = NimoConfigUtils::GetAppConfigPath();
  const std::size_t n = sizeof kAppConf - 1;
  if (conf.size() >= n && conf.compare(conf.size() - n, n, kAppConf) == 0) conf.resize(conf.size() - n);
  return conf + kFileName;
}

void PurchaseJournal::Cycle(const std::function<bool(std::vector<Entry>&)>& change, bool flush) {
  const std::string path = Path();
  nimo_sync::MutexLock lock(JournalMutex());
  nimo_sys::FileLock fileLock(path + ".lock");
  bool skipped = false;
  std::vector<Entry> entries = ReadEntries(fs_, path, skipped);
  if (!change(entries) && !skipped) return;
  Trim(entries);
  // Even a removal's content is synced before its rename: a power cut may undo
  // the rename, but a torn journal would be put aside with every entry in it.
  const auto durability = flush ? nimo_sys::Durability::kDisk : nimo_sys::Durability::kContent;
  if (!nimo_sys::ReplaceFileContent(fs_, path, Serialise(entries), durability)) {
    LOG(ERROR) << "Pay Journal Write Failure:" << path;
  }
}

void PurchaseJournal::PutOrder(const PayOrder& order) {
  Cycle([&](std::vector<Entry>& entries) {
    Entry* e = Find(entries, order.steamOrderId);
    // Another order under this Steam id: its report may still be under way.
    if (e != nullptr && e->hasOrder && e->order.orderId != order.orderId) e = nullptr;
    if (e == nullptr) {
      entries.push_back(Entry{});
      e = &entries.back();
      e->steamOrderId = order.steamOrderId;
      e->createdMs = NowMs();
    }
    e->hasOrder = true;
    e->order = order;
    e->order.callback = nullptr;
    return true;
  }, true);
}

void PurchaseJournal::RecordSteamAnswer(const std::string& steamOrderId, const std::string& status) {
  Cycle([&](std::vector<Entry>& entries) {
    Entry* e = Find(entries, steamOrderId);
    if (e == nullptr) {
      Entry fresh;
      fresh.steamOrderId = steamOrderId;
      fresh.createdMs = NowMs();
      fresh.steamStatus = status;
      entries.push_back(std::move(fresh));
      return true;
    }
    if (e->steamStatus == status || e->steamStatus == "1") return false;  // an authorisation stays
    e->steamStatus = status;
    return true;
  }, true);
}

void PurchaseJournal::Remove(const std::string& steamOrderId, const std::string& orderId) {
  Cycle([&](std::vector<Entry>& entries) {
    auto it = std::remove_if(entries.begin(), entries.end(), [&](const Entry& e) {
      // One kept for a game's listener goes only by its finish.
      return e.steamOrderId == steamOrderId && !e.unfinished && (!e.hasOrder || e.order.orderId == orderId);
    });
    if (it == entries.end()) return false;
    entries.erase(it, entries.end());
    return true;
  }, false);
}

void PurchaseJournal::RemoveAnswerWithoutOrder(const std::string& steamOrderId) {
  Cycle([&](std::vector<Entry>& entries) {
    auto it = std::remove_if(entries.begin(), entries.end(),
                             [&](const Entry& e) { return e.steamOrderId == steamOrderId && !e.hasOrder; });
    if (it == entries.end()) return false;
    entries.erase(it, entries.end());
    return true;
  }, false);
}

std::vector<PurchaseJournal::Entry> PurchaseJournal::Load(std::int64_t heldMs) {
  std::vector<Entry> kept;
  const std::int64_t now = NowMs();
  Cycle([&](std::vector<Entry>& entries) {
    const std::size_t before = entries.size();
    auto expired = [&](const Entry& e) {
      if (e.unfinished) return false;  // kept until the game finishes it
      if (e.hasOrder ? now - e.createdMs > kMaxAgeMs : now - e.createdMs > heldMs) {
        if (e.hasOrder) {
          LOG(WARNING) << "Pay Journal Entry Expired, Dropped SteamOrderId:" << e.steamOrderId
                       << ",OrderId:" << e.order.orderId << ",SteamStatus:" << e.steamStatus;
        } else {
          LOG(WARNING) << "Held Steam Answer Expired, Dropped SteamOrderId:" << e.steamOrderId
                       << ",SteamStatus:" << e.steamStatus;
        }
        return true;
      }
      return false;
    };
    entries.erase(std::remove_if(entries.begin(), entries.end(), expired), entries.end());
    const std::size_t sizeBeforeTrim = entries.size();
    Trim(entries);
    const bool changed = entries.size() != before || entries.size() != sizeBeforeTrim;
    kept = entries;
    return changed;
  }, false);
  return kept;
}

bool PurchaseJournal::MarkUnfinished(const std::string& steamOrderId, const std::string& orderId) {
  bool kept = false;
  Cycle([&](std::vector<Entry>& entries) {
    auto it = std::find_if(entries.begin(), entries.end(), [&](const Entry& e) {
      return e.steamOrderId == steamOrderId && e.hasOrder && e.order.orderId == orderId;
    });
    if (it == entries.end()) return false;
    kept = true;
    if (it->unfinished) return false;
    Entry paid = std::move(*it);
    paid.unfinished = true;
    paid.steamStatus = "1";
    entries.erase(it);
    entries.push_back(std::move(paid));  // unfinished ones stand in the order they were paid
    return true;
  }, true);
  return kept;
}

std::vector<PurchaseJournal::Entry> PurchaseJournal::Unfinished() {
  std::vector<Entry> unfinished;
  Cycle([&](std::vector<Entry>& entries) {
    for (const Entry& e : entries) {
      if (e.unfinished) unfinished.push_back(e);
    }
    return false;
  }, false);
  return unfinished;
}

bool PurchaseJournal::Finish(const std::string& orderId) {
  bool finished = false;
  Cycle([&](std::vector<Entry>& entries) {
    auto it = std::remove_if(entries.begin(), entries.end(),
                             [&](const Entry& e) { return e.unfinished && e.order.orderId == orderId; });
    finished = it != entries.end();
    entries.erase(it, entries.end());
    return finished;
  }, true);
  return finished;
}

}  // namespace NimoSdk
