// A private nginx on loopback for the HTTP benchmark: a configuration made for the run
// in its own folder, free ports, a certificate of the run's CA; stopped at the end and
// never outliving the benchmark.
#pragma once

#include <sys/types.h>

#include <string>

#include "support/TestCerts.h"

class Nginx {
 public:
  // Serves json to every request, over HTTP and HTTPS; Ready() says whether it came up.
  Nginx(const std::string& dir, const nimo_test::CertFiles& cert, const std::string& json);
  ~Nginx();
  Nginx(const Nginx&) = delete;
  Nginx& operator=(const Nginx&) = delete;

  bool Ready() const { return ready_; }
  int HttpPort() const { return httpPort_; }
  int HttpsPort() const { return httpsPort_; }
  // CPU time of its workers so far.
  double WorkerCpuSeconds() const;

 private:
  std::string dir_;
  pid_t pid_ = -1;
  int httpPort_ = 0;
  int httpsPort_ = 0;
  bool ready_ = false;
};
