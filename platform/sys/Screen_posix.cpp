#include "platform/sys/Screen.h"

#include <dlfcn.h>

#include <cstdlib>

namespace nimo_sys {
namespace {

// The few Xlib entry points used, declared by hand so no X header is needed.
using Display = void;
using OpenDisplayFn = Display* (*)(const char*);
using CloseDisplayFn = int (*)(Display*);
using DefaultScreenFn = int (*)(Display*);
using DisplaySizeFn = int (*)(Display*, int);

template <typename Fn>
Fn Symbol(void* lib, const char* name) {
  return reinterpret_cast<Fn>(dlsym(lib, name));
}

}  // namespace

ScreenSize PrimaryScreenSize() {
  ScreenSize size;
  const char* display = std::getenv("DISPLAY");
  if (display == nullptr || *display == '\0') return size;  // no display to ask
  // The handle stays open for the process: unloading Xlib again is not safe once
  // it has been used (it registers handlers with libxcb).
  static void* lib = dlopen("libX11.so.6", RTLD_NOW | RTLD_LOCAL);
  if (lib == nullptr) return size;
  auto openDisplay = Symbol<OpenDisplayFn>(lib, "XOpenDisplay");
  auto closeDisplay = Symbol<CloseDisplayFn>(lib, "XCloseDisplay");
  auto defaultScreen = Symbol<DefaultScreenFn>(lib, "XDefaultScreen");
  auto width = Symbol<DisplaySizeFn>(lib, "XDisplayWidth");
  auto height = Symbol<DisplaySizeFn>(lib, "XDisplayHeight");
  if (!openDisplay || !closeDisplay || !defaultScreen || !width || !height) return size;
  Display* dpy = openDisplay(nullptr);
  if (dpy == nullptr) return size;
  int screen = defaultScreen(dpy);
  size.width = width(dpy, screen);
  size.height = height(dpy, screen);
  closeDisplay(dpy);
  if (size.width < 0 || size.height < 0) size = ScreenSize{};
  return size;
}

}  // namespace nimo_sys
