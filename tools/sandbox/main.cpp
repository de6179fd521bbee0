// nimo-sandbox: prints where it listens as KEY=VALUE lines, then serves until
// SIGINT or SIGTERM, Ctrl+C on Windows (or the end of standard input with --exit-on-stdin-eof).
#include <cstdio>
#include <iostream>
#include <mutex>

#include "tools/sandbox/LiveView.h"
#include "tools/sandbox/Sandbox.h"
#include "tools/sandbox/StopRequest.h"

int main(int argc, char** argv) {
  using namespace nimo_sandbox;
  CommandLine cl;
  std::string error;
  if (!ParseCommandLine(std::vector<std::string>(argv + 1, argv + argc), &cl, &error)) {
    std::cerr << "nimo-sandbox: " << error << "\n" << Usage();
    return 2;
  }
  if (cl.help) {
    std::cout << Usage();
    return 0;
  }
  if (cl.printConfig) {
    std::cout << Catalog::Default().ToJson().dump(2, ' ', false, nlohmann::json::error_handler_t::replace) << "\n";
    return 0;
  }

  CatchStopRequests();

  static std::mutex logMutex;
  if (!cl.quiet) {
    cl.options.log = [](const std::string& line) {
      std::lock_guard<std::mutex> lock(logMutex);
      std::fprintf(stderr, "[nimo-sandbox] %s\n", line.c_str());
    };
  }
  Sandbox sandbox(cl.options);
  if (!sandbox.Start(&error)) {
    std::cerr << "nimo-sandbox: " << error << "\n";
    return 1;
  }
  LiveView view(sandbox);
  if (cl.view && !view.Start(cl.viewPort, &error)) {
    std::cerr << "nimo-sandbox: " << error << "\n";
    return 1;
  }
  std::cout << sandbox.StartupLines() << (cl.view ? "NIMO_SANDBOX_VIEW=" + view.Url() + "\n" : std::string())
            << "NIMO_SANDBOX_READY=1\n" << std::flush;

  if (cl.exitOnStdinEof) StopAtEndOfInput();
  const std::string reason = WaitForStopRequest();
  std::cerr << "[nimo-sandbox] stopping (" << reason << ")\n";
  view.Stop();
  sandbox.Stop();
  return 0;
}
