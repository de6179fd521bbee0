// nimo-sandbox as a program: its flags, the KEY=VALUE lines it prints for the
// demo's start script, and that it stops cleanly on SIGTERM or end of input.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <signal.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <filesystem>
#include <fstream>
#include <map>
#include <thread>

#include "support/SandboxFixture.h"
#include "tools/sandbox/Sandbox.h"

extern char** environ;

namespace {

using Args = std::vector<std::string>;

std::string TempState(const std::string& tag) {
  return (std::filesystem::temp_directory_path() / ("nimo-cli-" + std::to_string(::getpid()) + tag)).string();
}

// The sandbox executable; its standard output goes to a file, its input is a pipe.
class Program {
 public:
  Program(Args args, const std::string& outFile) : out_(outFile) {
    int in[2];
    if (::pipe2(in, O_CLOEXEC) != 0) return;
    posix_spawn_file_actions_t fa;
    posix_spawn_file_actions_init(&fa);
    posix_spawn_file_actions_adddup2(&fa, in[0], 0);
    posix_spawn_file_actions_addopen(&fa, 1, outFile.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0600);
    std::string exe = std::string(NIMO_BINARY_DIR) + "/tools/sandbox/nimo-sandbox";
    args.insert(args.begin(), exe);
    std::vector<char*> argv;
    for (auto& a : args) argv.push_back(a.data());
    argv.push_back(nullptr);
    if (posix_spawn(&pid_, exe.c_str(), &fa, nullptr, argv.data(), environ) != 0) pid_ = -1;
    posix_spawn_file_actions_destroy(&fa);
    ::close(in[0]);
    stdin_ = in[1];
  }
  ~Program() {
    CloseInput();
    if (pid_ > 0 && Wait(0) == -1) {
      ::kill(pid_, SIGKILL);
      Wait(5000);
    }
  }
  pid_t Pid() const { return pid_; }
  void CloseInput() {
    if (stdin_ >= 0) ::close(stdin_);
    stdin_ = -1;
  }
  // Its KEY=VALUE lines once NIMO_SANDBOX_READY=1 was printed (empty after 15 s).
  std::map<std::string, std::string> ReadStartup() {
    std::map<std::string, std::string> kv;
    nimo_test::TestSandbox::WaitUntil([&] {
      kv.clear();
      std::ifstream in(out_);
      for (std::string line; std::getline(in, line);) {
        auto eq = line.find('=');
        if (eq != std::string::npos) kv[line.substr(0, eq)] = line.substr(eq + 1);
      }
      return kv.count("NIMO_SANDBOX_READY") == 1;
    }, std::chrono::seconds(15));
    return kv;
  }
  // Exit code, 128+signal, or -1 when still running after timeoutMs.
  int Wait(int timeoutMs) {
    int status = 0;
    bool ended = nimo_test::TestSandbox::WaitUntil([&] { return ::waitpid(pid_, &status, WNOHANG) == pid_; },
                                                   std::chrono::milliseconds(timeoutMs));
    if (!ended) return -1;
    pid_ = -1;
    return WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
  }

 private:
  pid_t pid_ = -1;
  int stdin_ = -1;
  std::string out_;
};

}  // namespace

TEST(SandboxCommandLine, ParsesEveryFlag) {
  nimo_sandbox::CommandLine cl;
  std::string error;
  ASSERT_TRUE(nimo_sandbox::ParseCommandLine(
      {"--port", "0", "--steam-port", "4000", "--state", "/tmp/x", "--config", "c.json", "--player", "decline",
       "--player-product", "gem_60=never", "--steam-delay-ms", "10", "--fault", "login=http502,times=1", "--fault",
       "all=delay:5", "--test-device", "--hang-limit-ms", "900", "--exit-on-stdin-eof", "--quiet", "--steam-first"},
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
  EXPECT_TRUE(cl.exitOnStdinEof && cl.quiet && cl.options.player.steamFirst);

  for (Args bad : {Args{}, Args{"--state"}, Args{"--state", "d", "--port", "70000"},
                   Args{"--state", "d", "--player", "maybe"}, Args{"--state", "d", "--fault", "nowhere=hang"},
                   Args{"--state", "d", "--player-product", "gem_60"}, Args{"--state", "d", "--wat"}}) {
    EXPECT_FALSE(nimo_sandbox::ParseCommandLine(bad, &cl, &error));
    EXPECT_FALSE(error.empty());
  }
  EXPECT_TRUE(nimo_sandbox::ParseCommandLine({"--help"}, &cl, &error) && cl.help);
}

TEST(SandboxCommandLine, PrintsWhereItListensAndStopsOnSigtermOrEndOfInput) {
  std::string state = TempState("");
  std::filesystem::create_directories(state);
  Program sandbox({"--state", state + "/a", "--quiet"}, state + "/a.out");
  Program eof({"--state", state + "/b", "--quiet", "--exit-on-stdin-eof"}, state + "/b.out");
  ASSERT_GT(sandbox.Pid(), 0);
  auto kv = sandbox.ReadStartup();
  ASSERT_EQ(kv.count("NIMO_SANDBOX_READY"), 1u);
  const std::string base = kv["NIMOSDK_API_BASE_URL"];
  ASSERT_EQ(base.rfind("https://127.0.0.1:", 0), 0u) << base;
  EXPECT_EQ(base.substr(base.size() - 7), "/sdkapi");
  EXPECT_EQ(kv["NIMOSDK_TRACK_URL"], base.substr(0, base.size() - 7) + "/data/h5/v1.do");
  EXPECT_EQ(kv["NIMOSDK_CA_FILE"], state + "/a/ca.pem");
  EXPECT_TRUE(std::filesystem::exists(kv["NIMOSDK_CA_FILE"]));
  EXPECT_EQ(kv["NIMO_STEAM_BRIDGE"].rfind("127.0.0.1:", 0), 0u);

  ASSERT_EQ(::kill(sandbox.Pid(), SIGTERM), 0);
  EXPECT_EQ(sandbox.Wait(5000), 0);
  EXPECT_TRUE(std::filesystem::exists(state + "/a/counters.json"));

  ASSERT_EQ(eof.ReadStartup().count("NIMO_SANDBOX_READY"), 1u);
  EXPECT_EQ(eof.Wait(300), -1);  // still serving while its input is open
  eof.CloseInput();
  EXPECT_EQ(eof.Wait(5000), 0);
  std::filesystem::remove_all(state);
}

TEST(SandboxCommandLine, RefusesToStartWithoutAStateFolderOrOnATakenPort) {
  std::string state = TempState("-port");
  std::filesystem::create_directories(state);
  Program noState({"--quiet"}, state + "/none.out");
  EXPECT_EQ(noState.Wait(5000), 2);

  nimo_sandbox::Options o;
  o.stateDir = state;
  nimo_sandbox::Sandbox first(o);
  ASSERT_TRUE(first.Start(nullptr));
  Program second({"--state", state + "/2", "--quiet", "--port", std::to_string(first.Port())}, state + "/2.out");
  EXPECT_EQ(second.Wait(5000), 1);
  first.Stop();
  std::filesystem::remove_all(state);
}
