// A real omniNames for tests: listens on 127.0.0.1 only, on a port that was free
// when the object was made, with a data folder of its own. Start, Stop and
// Restart keep the port and the data folder, so bindings survive a restart.
// The destructor stops the process (SIGTERM, then SIGKILL; always reaped) and
// removes the data folder.
//
//   testsupport::NamingService ns;
//   ASSERT_TRUE(ns.Start()) << ns.Error();
//   wrapper.Connect(L"127.0.0.1", ns.PortW());
//   EXPECT_THAT(ns.List("OrvantaRuraduZezarev.context"), Contains("PC1.launcher"));
#pragma once

#include <string>
#include <vector>

#include "tests/support/ChildProcess.h"

namespace testsupport {

// A TCP port on 127.0.0.1 that nothing listens on at the moment of the call.
int FreeLoopbackPort();

class NamingService {
 public:
  // Picks the port and makes the data folder; starts nothing, so a test can
  // first use the port while nothing answers there.
  NamingService();
  ~NamingService();
  NamingService(const NamingService&) = delete;
  NamingService& operator=(const NamingService&) = delete;

  // Starts omniNames and waits (at most 15 s) until it answers. The first start
  // creates a fresh naming database; later ones read it back. False with
  // Error() set when it did not come up; true at once when already running.
  bool Start();
  // Stops omniNames and reaps it. Harmless when not running.
  void Stop();
  // Stop, then Start on the same port and data folder.
  bool Restart();
  bool Running() const { return process_.Running(); }
  int Pid() const { return process_.Pid(); }

  int Port() const { return port_; }
  std::string PortText() const { return std::to_string(port_); }
  std::wstring PortW() const { return std::to_wstring(port_); }
  // "corbaloc:iiop:127.0.0.1:PORT/NameService"
  std::string Corbaloc() const;
  // "NameService=corbaloc:iiop:127.0.0.1:PORT/NameService", the -ORBInitRef value.
  std::string InitRef() const { return "NameService=" + Corbaloc(); }
  const std::string& DataDir() const { return dataDir_; }

  // Why the last Start failed, with what omniNames printed.
  const std::string& Error() const { return error_; }
  // What omniNames printed so far.
  std::string Log() { return process_.Output(); }

  // Runs `nameclt -ORBInitRef <InitRef()> args...`; its exit code, output in
  // `output` (stdout and stderr). Works whether or not the service runs.
  int Nameclt(const std::vector<std::string>& args, std::string& output) const;
  // The bindings of a context as nameclt shows them, sorted: "ID.KIND" for an
  // object, "ID.KIND/" for a context. `context` is a nameclt path
  // ("" = the root, "OrvantaRuraduZezarev.context"). Empty when the listing fails.
  std::vector<std::string> List(const std::string& context = "") const;
  // The stringified reference bound under `name` (a nameclt path,
  // "OrvantaRuraduZezarev.context/PC1.launcher"); empty when nothing is bound.
  std::string Resolve(const std::string& name) const;

 private:
  int port_ = 0;
  bool created_ = false;
  std::string dataDir_;
  std::string error_;
  ChildProcess process_;
};

}  // namespace testsupport
