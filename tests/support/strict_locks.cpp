// Linked into every test program: game code reached while a lock of ours is held aborts it.
#include "Sdk/LockRule.h"

namespace {
struct Strict {
  Strict() { NimoSdk::SetLockRuleFatal(true); }
} gStrict;
}  // namespace
