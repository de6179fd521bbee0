// The system's machine id, fixed at installation: machine-id(5) (32 hexadecimal
// digits) on Linux, the registry value MachineGuid on Windows. It is
// confidential: use it only as input to a derivation.
#pragma once

#include <string>
#include <vector>

namespace nimo_sys {

enum class MachineIdStatus {
  kOk,
  kOpenFailed,   // no candidate file (registry key) could be opened
  kSizeFailed,   // not a regular file (value) of sensible size
  kReadFailed,   // reading failed
  kBadFormat,    // not 32 hexadecimal digits (e.g. "uninitialized"); not a string value
};

// The line written to standard output for a failure, in the system's own terms.
const char* MachineIdFailureText(MachineIdStatus status);

struct MachineIdResult {
  MachineIdStatus status = MachineIdStatus::kOpenFailed;
  std::string id;  // set only with kOk, surrounding white space removed
};

// Linux: /etc/machine-id, else /var/lib/dbus/machine-id: the first file that
// holds a valid id (images often ship an empty /etc/machine-id). When none does,
// the failure of the first file that opened.
// Windows: HKLM "SOFTWARE\Microsoft\Cryptography" value "MachineGuid", 64-bit view.
MachineIdResult ReadMachineId();
MachineIdResult ReadMachineId(const std::vector<std::string>& places);

// Test seam: the places ReadMachineId() looks at (files; on Windows the first
// entry is the HKLM subkey); an empty list restores the system's.
void SetMachineIdFilesForTest(std::vector<std::string> files);

}  // namespace nimo_sys
