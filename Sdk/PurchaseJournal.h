// The purchase journal: every order waiting for Steam and every Steam answer
// not yet confirmed by the server, kept on disk so that a crash, a kill or a
// lost answer never loses a payment.
//
// File: <data folder>/<Steam app id>/PayJournal, beside AppConf, one compact
// JSON object:
//   {"entries":[{"createdMs":<unix ms>,"order":{...},"steamOrderId":"..",
//                "steamStatus":"1"}, ...],"version":1}
// "order" is the PayOrder without its callback, with the user facts frozen when
// it was created; absent for a Steam answer that came before its order.
// "steamStatus" is Steam's answer ("1" authorised, "0" declined); absent while
// the order waits for Steam. An authorisation is never turned back into "0".
// "unfinished":true marks a purchase the server confirmed as paid that the
// game has not finished yet (only while a purchase listener is set); these
// follow the others in the order they were paid, never expire, and have a
// bound of their own (kMaxUnfinished). Files without the member read as before.
//
// Every change is one read, change, write cycle under a mutex of the process
// and a lock file shared with other processes; the file is replaced whole by a
// renamed temporary. An order entering and Steam's answer are flushed to the
// disk (they must survive a power cut); removals are not: one lost to a power
// cut only makes the next run report a settled order again, which the server
// answers with the same verdict. No cut leaves the file torn or empty. Bounded: kMaxEntries entries, each
// dropped kMaxAgeMs after its creation. A file that cannot be read is renamed
// aside ("PayJournal.bad-<unix ms>") and a fresh journal started; an entry that
// cannot be read is skipped (the file is copied aside first) and the others
// kept. An entry the reader would refuse is never written.
// Safe from any thread; never throws.
#pragma once

#include <cstdint>
#include <functional>
#include <string>
#include <vector>

#include "Sdk/PayOrder.h"
#include "platform/sys/FileSystem.h"

namespace NimoSdk {

class PurchaseJournal {
 public:
  struct Entry {
    std::string steamOrderId;
    std::int64_t createdMs = 0;  // unix time
    std::string steamStatus;     // "", "0" or "1"
    bool hasOrder = false;
    PayOrder order;  // without callback and report state; valid when hasOrder
    bool unfinished = false;  // confirmed as paid, waiting for the game's finish
  };

  static constexpr std::size_t kMaxEntries = 256;  // besides the unfinished ones
  static constexpr std::size_t kMaxUnfinished = 1000;
  static constexpr std::int64_t kMaxAgeMs = 30LL * 24 * 3600 * 1000;
  static constexpr std::size_t kMaxFileBytes = 4u << 20;
  static constexpr int kMaxDepth = 8;

  // path empty: resolved at every cycle beside AppConf. fs outlives the journal.
  explicit PurchaseJournal(std::string path = "", nimo_sys::FileSystem& fs = nimo_sys::RealFileSystem());
  PurchaseJournal(const PurchaseJournal&) = delete;
  PurchaseJournal& operator=(const PurchaseJournal&) = delete;

  std::string Path() const;

  // The order, once its create-order answer was read (merged with a Steam
  // answer that came first). A different order under a Steam order id already
  // journalled gets an entry of its own; later Steam answers go to the newest.
  void PutOrder(const PayOrder& order);
  // Steam's answer for steamOrderId, before it is reported.
  void RecordSteamAnswer(const std::string& steamOrderId, const std::string& status);
  // The entries of steamOrderId holding this order (or none); one kept unfinished
  // for the game goes only by Finish.
  void Remove(const std::string& steamOrderId, const std::string& orderId);
  // Removes the entry only when it holds no order (a held Steam answer).
  void RemoveAnswerWithoutOrder(const std::string& steamOrderId);
  // Every entry, after dropping orders older than kMaxAgeMs and answers
  // without order older than heldMs (each logged); unfinished ones stay.
  std::vector<Entry> Load(std::int64_t heldMs);

  // The server confirmed the order as paid: its entry stays, unfinished, after
  // the others. False when no entry holds it (finished meanwhile).
  bool MarkUnfinished(const std::string& steamOrderId, const std::string& orderId);
  // The unfinished entries, in the order they were paid.
  std::vector<Entry> Unfinished();
  // The game granted it: its unfinished entry goes, flushed to the disk.
  // False when there was none.
  bool Finish(const std::string& orderId);

  static std::int64_t NowMs();

 private:
  // change returns whether it altered the entries; only then is the file written.
  void Cycle(const std::function<bool(std::vector<Entry>&)>& change, bool flush);

  const std::string fixedPath_;  // constant after construction
  nimo_sys::FileSystem& fs_;
};

}  // namespace NimoSdk
