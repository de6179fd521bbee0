// nimo-sandbox as a program: its flags, the KEY=VALUE lines it prints for the
// demo's start script, and that it stops cleanly on SIGTERM or end of input.
#include <gtest/gtest.h>
#include <sys/wait.h>

#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <map>

#include "tools/sandbox/Sandbox.h"

namespace {

using Args = std::vector<std::string>;

const std::string kSandbox = std::string(NIMO_BINARY_DIR) + "/tools/sandbox/nimo-sandbox";

std::string TempState(const std::string& tag) {
  std::string dir = (std::filesystem::temp_directory_path() / ("nimo-cli-" + std::to_string(::getpid()) + tag)).string();
  std::filesystem::create_directories(dir);
  return dir;
}

// A shell command's exit status; the sandbox runs under timeout(1), so a hang is 124.
int Shell(const std::string& line) {
  int status = std::system(line.c_str());
  return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
}

std::map<std::string, std::string> KeyValues(const std::string& file) {
  std::map<std::string, std::string> kv;
  std::ifstream in(file);
  for (std::string line; std::getline(in, line);) {
    auto eq = line.find('=');
    if (eq != std::string::npos) kv[line.substr(0, eq)] = line.substr(eq + 1);
  }
  return kv;
}

}  // namespace

TEST(SandboxCommandLine, ParsesEveryFlag) {
  nimo_sandbox::CommandLine cl;
  std::string error;
  ASSERT_TRUE(nimo_sandbox::ParseCommandLine(
      {"--port", "0", "--steam-port", "4000", "--state", "/tmp/x", "--config", "c.json", "--player", "decline",
       "--player-product", "gem_60=never", "--steam-delay-ms", "10", "--fault", "login=http502,times=1", "--fault",
       "all=delay:5", "--test-device", "--hang-limit-ms", "900", "--exit-on-stdin-eof", "--quiet", "--steam-first", "--view-port", "4100", "--no-view"},
      &cl, &error))
      << error;
  EXPECT_EQ(cl.options.steamPort, 4000);
  EXPECT_EQ(cl.options.stateDir, "/tmp/x");
  EXPECT_EQ(cl.options.configFile, "c.json");
  EXPECT_EQ(cl.options.player.mode, nimo_sandbox::PlayerMode::Decline);
  EXPECT_EQ(cl.options.player.For("gem_60"), nimo_sandbox::PlayerMode::Never);
  EXPECT_EQ(cl.options.player.delayMs, 10);
  ASSERT_EQ(cl.options.faults.size(), 2u);
  EXPECT_EQ(cl.options.faults[1].first, "all");
  EXPECT_TRUE(cl.options.testDevice);
  EXPECT_EQ(cl.options.hangLimitMs, 900);
  EXPECT_TRUE(cl.exitOnStdinEof && cl.quiet && cl.options.player.steamFirst && !cl.view);
  EXPECT_EQ(cl.viewPort, 4100);

  for (Args bad : {Args{}, Args{"--state"}, Args{"--state", "d", "--port", "70000"}, Args{"--state", "d", "--view-port", "x"},
                   Args{"--state", "d", "--player", "maybe"}, Args{"--state", "d", "--fault", "nowhere=hang"},
                   Args{"--state", "d", "--player-product", "gem_60"}, Args{"--state", "d", "--wat"}}) {
    EXPECT_FALSE(nimo_sandbox::ParseCommandLine(bad, &cl, &error));
    EXPECT_FALSE(error.empty());
  }
  EXPECT_TRUE(nimo_sandbox::ParseCommandLine({"--help"}, &cl, &error) && cl.help);
}

TEST(SandboxCommandLine, PrintsWhereItListensAndStopsOnEndOfInputOrSigterm) {
  const std::string state = TempState("");
  ASSERT_EQ(Shell("timeout 20 " + kSandbox + " --state " + state + "/a --quiet --exit-on-stdin-eof </dev/null >" +
                  state + "/a.out"),
            0);
  auto kv = KeyValues(state + "/a.out");
  ASSERT_EQ(kv["NIMO_SANDBOX_READY"], "1");
  const std::string base = kv["NIMOSDK_API_BASE_URL"];
  ASSERT_EQ(base.rfind("https://127.0.0.1:", 0), 0u) << base;
  EXPECT_EQ(base.substr(base.size() - 7), "/sdkapi");
  EXPECT_EQ(kv["NIMOSDK_TRACK_URL"], base.substr(0, base.size() - 7) + "/data/h5/v1.do");
  EXPECT_EQ(kv["NIMOSDK_CA_FILE"], state + "/a/ca.pem");
  EXPECT_TRUE(std::filesystem::exists(kv["NIMOSDK_CA_FILE"]));
  EXPECT_EQ(kv["NIMO_STEAM_BRIDGE"].rfind("127.0.0.1:", 0), 0u);
  EXPECT_EQ(kv["NIMO_SANDBOX_VIEW"].rfind("http://127.0.0.1:", 0), 0u);
  EXPECT_TRUE(std::filesystem::exists(state + "/a/counters.json"));

  // Without the flag it serves on after its input ends, until SIGTERM.
  const std::string out = state + "/b.out";
  EXPECT_EQ(Shell("timeout 20 " + kSandbox + " --state " + state + "/b --quiet </dev/null >" + out + " & pid=$!; " +
                  "i=0; until grep -q READY " + out + "; do sleep 0.1; i=$((i+1)); [ $i -lt 150 ] || exit 9; done; " +
                  "sleep 0.3; kill -TERM $pid; wait $pid"),
            0);
  EXPECT_TRUE(std::filesystem::exists(state + "/b/counters.json"));
  std::filesystem::remove_all(state);
}

TEST(SandboxCommandLine, RefusesToStartWithoutAStateFolderOrOnATakenPort) {
  const std::string state = TempState("-port");
  EXPECT_EQ(Shell("timeout 20 " + kSandbox + " --quiet >/dev/null 2>&1"), 2);
  nimo_sandbox::Options o;
  o.stateDir = state;
  nimo_sandbox::Sandbox first(o);
  ASSERT_TRUE(first.Start(nullptr));
  EXPECT_EQ(Shell("timeout 20 " + kSandbox + " --quiet --state " + state + "/2 --port " +
                  std::to_string(first.Port()) + " </dev/null >/dev/null 2>&1"),
            1);
  EXPECT_EQ(Shell("timeout 20 " + kSandbox + " --quiet --state " + state + "/3 --view-port " +
                  std::to_string(first.Port()) + " </dev/null >/dev/null 2>&1"),
            1);
  first.Stop();
  std::filesystem::remove_all(state);
}
