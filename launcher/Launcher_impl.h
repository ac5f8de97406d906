// The servant of the Launcher object: turns each request into command lines of
// the family service's own executable and runs them one after the other.
#pragma once

#include "idl/Launcher.hh"

// Stateless; every operation answers false on a rejected kind, an empty
// required string, a failed logon-right grant or a command line that could not
// be run, and true once every command line of the operation has run to its end.
// Called on the ORB's dispatch thread; blocks it while a child process runs.
class Launcher_impl : public POA_RuraduZezarev::Launcher {
 public:
  Launcher_impl() = default;
  Launcher_impl(const Launcher_impl&) = delete;
  Launcher_impl& operator=(const Launcher_impl&) = delete;

  CORBA::Boolean CreateService(RuraduZezarev::KLServices kind, const CORBA::WChar* serviceName,
                               const CORBA::WChar* accountName, const CORBA::WChar* password,
                               const CORBA::WChar* executablePath) override;
  CORBA::Boolean RemoveService(RuraduZezarev::KLServices kind, const CORBA::WChar* serviceName,
                               const CORBA::WChar* executablePath) override;
  CORBA::Boolean StartService(RuraduZezarev::KLServices kind, const CORBA::WChar* serviceName,
                              const CORBA::WChar* executablePath) override;
  CORBA::Boolean StopService(RuraduZezarev::KLServices kind, const CORBA::WChar* serviceName,
                             const CORBA::WChar* executablePath) override;
};

// The tie the server core holds and the naming registration activates.
using LauncherTie = POA_RuraduZezarev::Launcher_tie<Launcher_impl>;
