// The system's machine id (machine-id(5)): 32 hexadecimal digits, fixed at
// installation. It is confidential: use it only as input to a derivation.
#pragma once

#include <string>
#include <vector>

namespace nimo_sys {

enum class MachineIdStatus {
  kOk,
  kOpenFailed,   // no candidate file could be opened
  kSizeFailed,   // not a regular file of sensible size
  kReadFailed,   // reading failed
  kBadFormat,    // not 32 hexadecimal digits (e.g. "uninitialized")
};

struct MachineIdResult {
  MachineIdStatus status = MachineIdStatus::kOpenFailed;
  std::string id;  // set only with kOk, surrounding white space removed
};

// /etc/machine-id, else /var/lib/dbus/machine-id: the first file that holds a
// valid id (images often ship an empty /etc/machine-id). When none does, the
// failure of the first file that opened.
MachineIdResult ReadMachineId();
MachineIdResult ReadMachineId(const std::vector<std::string>& files);

// Test seam: the files ReadMachineId() looks at; an empty list restores the
// system's.
void SetMachineIdFilesForTest(std::vector<std::string> files);

}  // namespace nimo_sys
