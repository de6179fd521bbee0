// A power cut at every point of the stores' work: a flow of steps runs once
// through the real stores on a recording file system; then, for every change it
// made and every way a cut can leave unsynced data and unflushed names, the
// next start must find every promise kept.
#include <gtest/gtest.h>

#include <algorithm>
#include <functional>
#include <iostream>
#include <map>
#include <memory>
#include <set>
#include <vector>

#include "Sdk/EventQueue.h"
#include "Sdk/EventQueueFile.h"
#include "Sdk/EventSender.h"
#include "Sdk/NimoConfigUtils.h"
#include "Sdk/PurchaseJournal.h"
#include "support/CrashFileSystem.h"
#include "support/temp_data_home.h"

namespace {

using NimoSdk::EventQueue;
using NimoSdk::EventQueueFile;
using NimoSdk::NimoConfigUtils;
using NimoSdk::PurchaseJournal;
using nimo_test::CrashFileSystem;

// What the stores told the flow, each with the count of changes made by then.
struct Told {
  std::map<std::string, std::size_t> ordered;   // the order is journalled
  std::map<std::string, std::pair<std::string, std::size_t>> answered;  // Steam's answer is journalled
  std::map<std::string, std::size_t> confirmed;  // the server confirmed it (before the removal or finish)
  std::map<std::string, std::size_t> unfinished;  // paid, kept for the game until it finishes
  std::map<std::string, std::size_t> finished;    // the game's finish returned
  std::map<std::int64_t, std::size_t> queued;    // the event is in the queue file, so it may be sent
  std::map<std::int64_t, std::size_t> done;      // its done record was appended
  std::map<std::string, std::size_t> saved;      // saved unnumbered at Exit (by its marker)
  std::map<std::string, std::size_t> numbered;   // ... and numbered by the next start (then: queued)
  std::size_t clientId = SIZE_MAX;               // SharedConf holds the client id
};

// The stores as one run of the game holds them.
struct World {
  World(CrashFileSystem& files, Told& t) : fs(files), told(t) {}
  CrashFileSystem& fs;
  Told& told;
  PurchaseJournal journal{"", fs};
  std::unique_ptr<EventQueueFile> queue;
  std::int64_t highest = 0;

  // As the tracker starts: events saved at Exit get their numbers.
  void StartQueue() {
    queue = std::make_unique<EventQueueFile>(fs);
    EventQueueFile::Contents found;
    {
      nimo_sync::MutexLock lock(queue->Mutex());
      ASSERT_TRUE(queue->Read(found));
    }
    std::size_t unnumbered = 0;
    for (const auto& e : found.live) unnumbered += e.order == 0 ? 1 : 0;
    std::int64_t next = unnumbered > 0 ? NimoSdk::EventSender::ReserveNumbers(unnumbered, found.highest) : 0;
    nimo_sync::MutexLock lock(queue->Mutex());
    std::string bytes;
    std::vector<std::int64_t> numbered;
    std::vector<std::string> markers;
    for (auto& e : found.live) {
      if (e.order == 0) {
        e.order = next++;
        e.text = EventQueue::WithOrder(e.text, e.order);
        found.rewrite = true;
        numbered.push_back(e.order);
        for (const auto& saved : told.saved)
          if (e.text.find(saved.first) != std::string::npos) markers.push_back(saved.first);
      }
      bytes += EventQueue::EventRecord(e.order, e.text);
    }
    queue->Settle(found, bytes);
    highest = std::max(found.highest, next - 1);
    for (std::int64_t n : numbered) told.queued.emplace(n, fs.Changes());
    for (const std::string& m : markers) told.numbered.emplace(m, fs.Changes());
  }
  void StopQueue() {
    {
      nimo_sync::MutexLock lock(queue->Mutex());
      queue->AppendAndRelease("");
    }
    queue.reset();
  }
};

using Step = std::function<void(World&)>;

NimoSdk::PayOrder Order(const std::string& steamId) {
  NimoSdk::PayOrder o;
  o.steamOrderId = steamId;
  o.orderId = "order-" + steamId;
  o.product.productId = "gem_60";
  return o;
}

// --- steps: each drives a real store and notes what it was told
Step PutOrder(const std::string& id) {
  return [id](World& w) {
    w.journal.PutOrder(Order(id));
    w.told.ordered.emplace(id, w.fs.Changes());
  };
}
Step SteamAnswers(const std::string& id, const std::string& status) {
  return [id, status](World& w) {
    w.journal.RecordSteamAnswer(id, status);
    w.told.answered.emplace(id, std::make_pair(status, w.fs.Changes()));
  };
}
Step ServerConfirms(const std::string& id) {
  return [id](World& w) {
    w.told.confirmed.emplace(id, w.fs.Changes());
    w.journal.Remove(id, Order(id).orderId);
  };
}
// With a purchase listener: the confirmation keeps the purchase until the game finishes it.
Step PaidUnfinished(const std::string& id) {
  return [id](World& w) {
    w.journal.MarkUnfinished(id, Order(id).orderId);
    w.told.unfinished.emplace(id, w.fs.Changes());
  };
}
Step GameFinishes(const std::string& id) {
  return [id](World& w) {
    w.told.confirmed.emplace(id, w.fs.Changes());
    w.journal.Finish(Order(id).orderId);
    w.told.finished.emplace(id, w.fs.Changes());
  };
}
Step NextRunLoadsJournal() {
  return [](World& w) { w.journal.Load(PurchaseJournal::kMaxAgeMs); };
}
Step QueueEvents(std::size_t count) {
  return [count](World& w) {
    const std::int64_t first = NimoSdk::EventSender::ReserveNumbers(count, w.highest);
    std::string records;
    for (std::int64_t n = first; n < first + static_cast<std::int64_t>(count); ++n)
      records += EventQueue::EventRecord(n, EventQueue::WithOrder(R"({"eventOrder":""})", n));
    {
      nimo_sync::MutexLock lock(w.queue->Mutex());
      w.queue->Append(records, true);
    }
    w.highest = first + static_cast<std::int64_t>(count) - 1;
    for (std::int64_t n = first; n <= w.highest; ++n) w.told.queued.emplace(n, w.fs.Changes());
  };
}
Step Delivered(std::int64_t n) {
  return [n](World& w) {
    {
      nimo_sync::MutexLock lock(w.queue->Mutex());
      w.queue->Append(EventQueue::DoneRecord(n), false);
    }
    w.told.done.emplace(n, w.fs.Changes());
  };
}
Step ExitSaves(const std::string& marker) {
  return [marker](World& w) {
    {
      nimo_sync::MutexLock lock(w.queue->Mutex());
      w.queue->AppendAndRelease(EventQueue::UnnumberedRecord(R"({"eventOrder":"","m":")" + marker + R"("})"));
    }
    w.told.saved.emplace(marker, w.fs.Changes());
    w.queue.reset();
    w.StartQueue();
  };
}
Step RestartQueue() {
  return [](World& w) {
    w.StopQueue();
    w.StartQueue();
  };
}
Step ClientIdMade() {
  return [](World& w) {
    NimoConfigUtils::Update(true, [](NimoConfigUtils::json& doc) { doc["ClientId"] = "client-1"; });
    w.told.clientId = w.fs.Changes();
  };
}

// Told before (or at) the cut.
bool By(std::size_t when, std::size_t cut) { return when <= cut; }

class PowerCut : public ::testing::Test {
 protected:
  void TearDown() override { NimoConfigUtils::UseFileSystem(nimo_sys::RealFileSystem()); }

  // What the next start finds on disk after the first `at` changes and the cut;
  // each broken promise is one line.
  std::vector<std::string> NextStart(const Told& told, const CrashFileSystem::Disk& disk, std::size_t at) {
    std::vector<std::string> broken;
    CrashFileSystem fs(disk);
    NimoConfigUtils::UseFileSystem(fs);
    auto check = [&](bool ok, const std::string& what) {
      if (!ok) broken.push_back(what);
    };

    PurchaseJournal journal("", fs);
    std::map<std::string, PurchaseJournal::Entry> entries;
    for (auto& e : journal.Load(PurchaseJournal::kMaxAgeMs)) {
      // A removal a cut undid brings back what was there, nothing else.
      check(told.ordered.count(e.steamOrderId) || told.answered.count(e.steamOrderId), "unknown entry");
      entries[e.steamOrderId] = e;
    }
    for (const auto& [path, content] : fs.Now()) check(path.find(".bad-") == std::string::npos, "journal unreadable");
    std::set<std::string> unfinished;
    for (const auto& e : journal.Unfinished()) unfinished.insert(e.steamOrderId);
    for (const auto& [id, when] : told.unfinished) {
      const bool finishing = told.confirmed.count(id) && By(told.confirmed.at(id), at);
      check(!By(when, at) || finishing || unfinished.count(id), "paid purchase " + id + " lost before its finish");
      check(!told.finished.count(id) || !By(told.finished.at(id), at) || !unfinished.count(id),
            "finished purchase " + id + " came back");
    }
    auto open = [&](const std::string& id) { return !told.confirmed.count(id) || !By(told.confirmed.at(id), at); };
    for (const auto& [id, when] : told.ordered) {
      check(!By(when, at) || !open(id) || (entries.count(id) && entries[id].hasOrder), "order " + id + " lost");
    }
    for (const auto& [id, answer] : told.answered) {
      const auto& [status, when] = answer;
      check(!By(when, at) || !open(id) || (entries.count(id) && (entries[id].steamStatus == status ||
                                                               entries[id].steamStatus == "1")),
            "Steam's answer " + status + " for " + id + " lost");
    }

    EventQueueFile queue(fs);
    EventQueueFile::Contents found;
    {
      nimo_sync::MutexLock lock(queue.Mutex());
      check(queue.Read(found), "no queue file");
    }
    std::set<std::int64_t> live;
    std::string texts;
    for (const auto& e : found.live) {
      live.insert(e.order);
      texts += e.text;
    }
    for (const auto& [marker, when] : told.saved) {
      const bool numbered = told.numbered.count(marker) && By(told.numbered.at(marker), at);
      check(!By(when, at) || numbered || texts.find('"' + marker + '"') != std::string::npos,
            "event " + marker + " lost");
    }
    const std::int64_t next = NimoSdk::EventSender::ReserveNumbers(1, found.highest);
    for (const auto& [n, when] : told.queued) {
      if (!By(when, at)) continue;
      check(next > n, "event number " + std::to_string(n) + " given again");
      check(live.count(n) || (told.done.count(n) && By(told.done.at(n), at)), "event " + std::to_string(n) + " lost");
    }
    const auto shared = NimoConfigUtils::ReadConfigJson(true);
    check(!By(told.clientId, at) || NimoConfigUtils::StringOr(shared, "ClientId", "") == "client-1", "client id lost");
    return broken;
  }

  // Runs the flow once, then the next start after every change and every cut.
  void EveryCut(const std::vector<Step>& flow) {
    CrashFileSystem fs;
    NimoConfigUtils::UseFileSystem(fs);
    Told told;
    {
      World world(fs, told);
      world.StartQueue();
      for (const Step& step : flow) step(world);
      world.StopQueue();
    }
    std::size_t points = 0;
    std::map<std::string, std::string> firstOf;  // broken promise -> where first seen
    for (std::size_t at = 0; at <= fs.Changes(); ++at) {
      for (const auto cut : CrashFileSystem::AllCuts()) {
        ++points;
        for (const std::string& what : NextStart(told, fs.After(at, cut), at)) {
          firstOf.emplace(what, "after change " + std::to_string(at) + " (" + fs.ChangeName(at) + "), " +
                                    CrashFileSystem::Describe(cut));
        }
      }
    }
    std::cout << "crash points: " << points << " (" << fs.Changes() << " changes)\n";
    for (const auto& [what, where] : firstOf) ADD_FAILURE() << what << ": first " << where;
  }

  nimo_test::TempDataHome home_;
};

TEST_F(PowerCut, EveryPromiseOfThePurchaseAndEventFlowsSurvives) {
  EveryCut({
      ExitSaves("saved-1"),
      ClientIdMade(),
      QueueEvents(2),
      PutOrder("101"),
      SteamAnswers("101", "1"),
      SteamAnswers("202", "1"),  // before its order
      PutOrder("202"),
      Delivered(1),
      PutOrder("303"),
      SteamAnswers("303", "0"),
      PutOrder("404"),
      SteamAnswers("404", "1"),
      PaidUnfinished("404"),
      ServerConfirms("101"),
      NextRunLoadsJournal(),
      Delivered(2),
      RestartQueue(),  // the delivered ones are compacted away
      QueueEvents(1),
      ServerConfirms("303"),
      ServerConfirms("202"),
      GameFinishes("404"),
  });
}

}  // namespace
