// Machine facts carried by every event: OS name, time zone, screen size, and
// what each falls back to.
#include <gtest/gtest.h>
#include <sys/utsname.h>

#include <algorithm>
#include <cstdlib>
#include <ctime>
#include <fstream>
#include <string>
#include <utility>
#include <vector>

#include "Sdk/CNimoCore.h"
#include "Sdk/CNimoTrack.h"
#include "platform/sys/OsInfo.h"
#include "platform/sys/Screen.h"
#include "platform/sys/TimeZone.h"
#include "support/LogCapture.h"

using NimoSdk::CNimoTrack;

namespace {

std::string WriteFile(const std::string& name, const std::string& text) {
  std::ofstream(name, std::ios::binary | std::ios::trunc) << text;
  return name;
}

void SetTz(const char* tz) {
  setenv("TZ", tz, 1);
  tzset();
}

}  // namespace

TEST(TrackOsInfo, PrettyNameQuotingForms) {
  const std::vector<std::pair<std::string, std::string>> cases = {
      {"NAME=x\nPRETTY_NAME=\"Debian GNU/Linux 12 (bookworm)\"\nID=debian\n", "Debian GNU/Linux 12 (bookworm)"},
      {"PRETTY_NAME='Arch Linux'", "Arch Linux"},
      {"PRETTY_NAME=Alpine", "Alpine"},
      {"PRETTY_NAME=\"Say \\\"hi\\\" \\\\ \\$x\"\r\n", "Say \"hi\" \\ $x"},
      {"# PRETTY_NAME=\"commented\"\nNAME=Foo\n", ""},
      {"PRETTY_NAME=\"Fedora Linux 40\"\nPRETTY_NAME=\"Later\"", "Later"},
  };
  for (const auto& [text, name] : cases) EXPECT_EQ(nimo_sys::PrettyName(text), name) << text;
}

TEST(TrackOsInfo, FirstReadableFileCountsAndKernelIsAppended) {
  std::string a = WriteFile("os-release-a", "PRETTY_NAME=\"Alpha OS 1\"\n");
  std::string b = WriteFile("os-release-b", "PRETTY_NAME=\"Beta OS 2\"\n");
  std::string bare = WriteFile("os-release-bare", "ID=none\n");
  EXPECT_EQ(nimo_sys::OsVersionName({"no-such-file", a, b}, "6.1.0-18-amd64"), "Alpha OS 1 6.1.0-18-amd64");
  EXPECT_EQ(nimo_sys::OsVersionName({b, a}, ""), "Beta OS 2");
  EXPECT_EQ(nimo_sys::OsVersionName({bare, a}, "6.1"), "");
  EXPECT_EQ(nimo_sys::OsVersionName({"."}, "6.1"), "");  // a directory opens but reads nothing
}

TEST(TrackOsInfo, ThisMachineOrUnknown) {
  struct utsname u {};
  ASSERT_EQ(uname(&u), 0);
  EXPECT_EQ(nimo_sys::KernelRelease(), u.release);
  std::string os = CNimoTrack::GetOsVersionName();
  std::ifstream etc("/etc/os-release");
  std::ifstream usr("/usr/lib/os-release");
  if (!etc && !usr) {
    EXPECT_EQ(os, "_unknown");
  } else {
    ASSERT_GT(os.size(), std::string(u.release).size());
    EXPECT_EQ(os.substr(os.size() - std::string(u.release).size() - 1), std::string(" ") + u.release);
  }
}

TEST(TrackTimeZone, WholeHoursTruncatedTowardZero) {
  const std::vector<std::pair<int, std::string>> cases = {
      {-480, "UTC+8"}, {300, "UTC-5"}, {0, "UTC0"},     {-330, "UTC+5"},
      {210, "UTC-3"},  {-30, "UTC0"},  {30, "UTC0"},    {-840, "UTC+14"}};
  for (const auto& [bias, text] : cases) EXPECT_EQ(nimo_sys::UtcOffsetText(bias), text) << bias;
  SetTz("EST5");
  EXPECT_EQ(nimo_sys::LocalBiasMinutes(), 300);
  SetTz("IST-5:30");
  EXPECT_EQ(nimo_sys::LocalBiasMinutes(), -330);
}

TEST(TrackInit, LogsTheRawBiasThenTheOsAndFillsTheContextFacts) {
  SetTz("IST-5:30");
  unsetenv("DISPLAY");
  NimoSdk::CNimoCore::InitLog(true);
  nimotest::LogCapture log;
  CNimoTrack track;
  track.Init();
  CNimoTrack::Facts f = track.Snapshot();
  EXPECT_EQ(f.tz, "UTC+5");
  EXPECT_EQ(f.os, CNimoTrack::GetOsVersionName());
  EXPECT_EQ(f.resolution, "0x0");
  auto all = log.Infos();
  auto tzAt = std::find(all.begin(), all.end(), "TimeZone UTC：-330");
  auto osAt = std::find(all.begin(), all.end(), "OS Version：" + f.os);
  ASSERT_NE(tzAt, all.end());
  ASSERT_NE(osAt, all.end());
  EXPECT_LT(tzAt, osAt);
}

TEST(TrackScreen, NoDisplayOrNoServerIsZeroByZero) {
  for (const char* display : {static_cast<const char*>(nullptr), ":4093"}) {
    if (display == nullptr) {
      unsetenv("DISPLAY");
    } else {
      setenv("DISPLAY", display, 1);
    }
    nimo_sys::ScreenSize size = nimo_sys::PrimaryScreenSize();
    EXPECT_EQ(size.width, 0);
    EXPECT_EQ(size.height, 0);
  }
}

// ctest runs this case once more under xvfb-run, with the size it gave the display.
TEST(TrackScreen, SizeOfARealDisplay) {
  const char* size = std::getenv("NIMO_TEST_SCREEN");
  if (size == nullptr || std::getenv("DISPLAY") == nullptr) GTEST_SKIP() << "needs a display (xvfb-run)";
  CNimoTrack track;
  track.Init();
  EXPECT_EQ(track.Resolution(), size);
}
