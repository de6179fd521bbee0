// Machine facts carried by every event: OS name, time zone, screen size, and
// what each falls back to.
#include <gtest/gtest.h>
#include <sys/utsname.h>

#include <algorithm>
#include <cstdlib>
#include <ctime>
#include <string>
#include <utility>
#include <vector>

#include "Sdk/CNimoCore.h"
#include "Sdk/CNimoTrack.h"
#include "Sdk/Singletons.h"
#include "platform/sys/OsInfo.h"
#include "platform/sys/Screen.h"
#include "platform/sys/TimeZone.h"
#include "support/LogCapture.h"
#include "support/temp_data_home.h"

using NimoSdk::CNimoTrack;

namespace {

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
  const std::string a = "./os-release-a", b = "./os-release-b", bare = "./os-release-bare";
  nimo_test::WriteText(a, "PRETTY_NAME=\"Alpha OS 1\"\n");
  nimo_test::WriteText(b, "PRETTY_NAME=\"Beta OS 2\"\n");
  nimo_test::WriteText(bare, "ID=none\n");
  EXPECT_EQ(nimo_sys::OsVersionName({"no-such-file", a, b}, "6.1.0-18-amd64"), "Alpha OS 1 6.1.0-18-amd64");
  EXPECT_EQ(nimo_sys::OsVersionName({b, a}, ""), "Beta OS 2");
  EXPECT_EQ(nimo_sys::OsVersionName({bare, a}, "6.1"), "");
  EXPECT_EQ(nimo_sys::OsVersionName({"."}, "6.1"), "");  // a directory opens but reads nothing
}

TEST(TrackOsInfo, ThisMachinesNameEndsWithItsKernel) {
  struct utsname u {};
  ASSERT_EQ(uname(&u), 0);
  EXPECT_EQ(nimo_sys::KernelRelease(), u.release);
  const std::string os = CNimoTrack::GetOsVersionName(), tail = std::string(" ") + u.release;
  if (nimo_test::ReadText("/etc/os-release").empty() && nimo_test::ReadText("/usr/lib/os-release").empty())
    GTEST_SKIP() << "no os-release here";
  ASSERT_GT(os.size(), tail.size());
  EXPECT_EQ(os.substr(os.size() - tail.size()), tail);
}

TEST(TrackTimeZone, WholeHoursTruncatedTowardZero) {
  const std::vector<std::pair<int, std::string>> cases = {
      {-480, "UTC+8"}, {300, "UTC-5"}, {0, "UTC0"},     {-330, "UTC+5"},
      {210, "UTC-3"},  {-30, "UTC0"},  {30, "UTC0"},    {-840, "UTC+14"}};
  for (const auto& [bias, text] : cases) EXPECT_EQ(nimo_sys::UtcOffsetText(bias), text) << bias;
  // Standard time whatever the date: summer time (either hemisphere, or a zone
  // whose daylight time is its winter) is never added, as on Windows.
  const std::vector<std::pair<const char*, int>> zones = {
      {"EST5", 300}, {"IST-5:30", -330}, {"EST5EDT,M3.2.0,M11.1.0", 300},
      {"AEST-10AEDT,M10.1.0,M4.1.0/3", -600}, {"IST-1GMT0,M10.5.0,M3.5.0/1", 0}};
  for (const auto& [zone, bias] : zones) {
    SetTz(zone);
    EXPECT_EQ(nimo_sys::LocalBiasMinutes(), bias) << zone;
  }
}

TEST(TrackInit, LogsTheRawBiasThenTheOsAndFillsTheContextFacts) {
  SetTz("IST-5:30");
  unsetenv("DISPLAY");
  NimoSdk::CNimoCore::InitLog(true);
  nimotest::LogCapture log;
  CNimoTrack track(NimoSdk::Facts(), {});  // sends nothing
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

// No display at all is the fixture of the other event tests (0x0 there).
TEST(TrackScreen, NoServerAtTheDisplayIsZeroByZero) {
  setenv("DISPLAY", ":4093", 1);
  nimo_sys::ScreenSize size = nimo_sys::PrimaryScreenSize();
  EXPECT_EQ(size.width, 0);
  EXPECT_EQ(size.height, 0);
}

// ctest runs this case once more under xvfb-run, with the size it gave the display.
TEST(TrackScreen, SizeOfARealDisplay) {
  const char* size = std::getenv("NIMO_TEST_SCREEN");
  if (size == nullptr || std::getenv("DISPLAY") == nullptr) GTEST_SKIP() << "needs a display (xvfb-run)";
  CNimoTrack track(NimoSdk::Facts(), {});  // sends nothing
  track.Init();
  EXPECT_EQ(track.Resolution(), size);
}
