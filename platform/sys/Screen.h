// The size of the primary screen.
#pragma once

namespace nimo_sys {

struct ScreenSize {
  int width = 0;
  int height = 0;
};

// The default screen of the X display named by DISPLAY. libX11 is loaded at run
// time, so neither the library nor a display is needed to load the SDK: without
// either the size is 0x0. Never throws.
ScreenSize PrimaryScreenSize();

}  // namespace nimo_sys
