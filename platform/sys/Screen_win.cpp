#include <windows.h>

#include "platform/sys/Screen.h"

namespace nimo_sys {

ScreenSize PrimaryScreenSize() {
  ScreenSize size;
  RECT r{};
  if (!GetWindowRect(GetDesktopWindow(), &r) || r.right < 0 || r.bottom < 0) return size;
  size.width = r.right;
  size.height = r.bottom;
  return size;
}

}  // namespace nimo_sys
