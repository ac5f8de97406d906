// The program's CORBA side: one ORB, its root POA and the thread that runs the
// ORB's event loop, plus the publication of the Launcher object in the
// Coordinator's naming service. Result codes: 0 done, 1 failed, 2 the naming
// service was unreachable (worth retrying).
#pragma once

#include <omniORB4/CORBA.h>
#include <omniORB4/Naming.hh>

#include <memory>
#include <string>

#include "launcher/Launcher_impl.h"

struct COrbThreadData;

class CCorbaWrapper {
 public:
  CCorbaWrapper();
  // Runs Shutdown; never waits for the event-loop thread longer than Shutdown does.
  virtual ~CCorbaWrapper();
  CCorbaWrapper(const CCorbaWrapper&) = delete;
  CCorbaWrapper& operator=(const CCorbaWrapper&) = delete;

  // The error hook: each non-null argument on a line of its own. The base writes
  // to the narrow standard error stream. May be called from the caller's thread only.
  virtual void ReportError(const char* message, const char* exceptionName, const char* exceptionInfo);

  // (Re)starts the ORB from argc/argv (orbId may be null): 0 when the ORB runs,
  // the naming service answered and the event-loop thread started; 1 otherwise.
  int InitOrb(int argc, wchar_t** argv, const wchar_t* orbId);
  // Starts the ORB against the naming service at host:port; 0 at once when the
  // running ORB was started for the same host and port. 0 or 1.
  int Connect(const std::wstring& host, const std::wstring& port);
  // Destroys the root POA, shuts the ORB down, lets the event-loop thread go.
  // Harmless any number of times, also before any start.
  void Shutdown();

  // Ties `implementation` into `tie` (which takes ownership), activates the tie in
  // the root POA and binds it as (name, "launcher") in the network context,
  // retrying while the naming service is unreachable. `reference` is written once
  // the object is active, whatever the binding's outcome. 0 or 1.
  int PublishObject(LauncherTie& tie, const std::string& name, Launcher_impl* implementation,
                    RuraduZezarev::Launcher_var& reference);
  // Deactivates the tie and unbinds (name, "launcher"). Throws nothing.
  void UnpublishObject(LauncherTie& tie, const std::string& name);

 protected:
  int ResolveRootContext(CosNaming::NamingContext_var& rootContext);
  int GetNetworkContext(CosNaming::NamingContext_var& networkContext);
  int BindObject(const std::string& name, CORBA::Object_ptr object);
  int UnbindObject(const std::string& name);
  int RegisterObject(CORBA::Object_ptr object, const std::string& name);

  // ReportError with the message, the exception's name and its description.
  void ReportException(const char* message, const CORBA::Exception& exception);

  static CORBA::ORB_ptr CreateOrb(CCorbaWrapper* wrapper, int argc, wchar_t** argv, const wchar_t* orbId);
  int InitPoa();
  void DestroyPoa();
  void ShutdownOrb();
  bool StartOrbThread();
  void StopOrbThread();
  bool IsOrbThreadRunning() const;
  // Body of the event-loop thread. It touches only `data` (which it shares), never
  // the wrapper, so a thread let go after the 3-second bound outlives it safely.
  static void OrbThreadProc(std::shared_ptr<COrbThreadData> data);

  // Shared with the event-loop thread, which may outlive a 3-second stop.
  std::shared_ptr<COrbThreadData> threadData;
  CORBA::ORB_var orb;
  PortableServer::POA_var rootPoa;
  std::wstring connectedHost;
  std::wstring connectedPort;
  std::wstring orbLogFile;
  std::wstring orbDebugLevel;
  bool secureTransport = false;
  void (*onOrbRunStarting)() = nullptr;
  void (*onOrbRunFinished)() = nullptr;
};
