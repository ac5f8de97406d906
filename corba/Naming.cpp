// Publication of the Launcher object: activation in the root POA and its binding
// as (computer name, "launcher") inside ("OrvantaRuraduZezarev", "context").
#include <boost/date_time/posix_time/posix_time_types.hpp>
#include <boost/thread/thread.hpp>

#include <iostream>

#include "corba/CCorbaWrapper.h"

namespace {

constexpr int kRegisterRetries = 5;
const boost::posix_time::seconds kRegisterRetryPause(1);

const char* const kNetworkContextId = "OrvantaRuraduZezarev";
const char* const kNetworkContextKind = "context";
const char* const kObjectKind = "launcher";

// A name of one component; the path is walked one context at a time.
CosNaming::Name SimpleName(const char* id, const char* kind) {
  CosNaming::Name name;
  name.length(1);
  name[0].id = CORBA::string_dup(id);
  name[0].kind = CORBA::string_dup(kind);
  return name;
}

}  // namespace

int CCorbaWrapper::GetNetworkContext(CosNaming::NamingContext_var& networkContext) {
  CosNaming::NamingContext_var rootContext;
  int rc = ResolveRootContext(rootContext);
  if (rc != 0) return rc;

  CosNaming::Name name = SimpleName(kNetworkContextId, kNetworkContextKind);
  try {
    try {
      networkContext = rootContext->bind_new_context(name);
      return 0;
    } catch (const CosNaming::NamingContext::AlreadyBound&) {
      // Made by an earlier run or by another computer's service.
      CORBA::Object_var object = rootContext->resolve(name);
      CosNaming::NamingContext_var existing = CosNaming::NamingContext::_narrow(object);
      if (CORBA::is_nil(existing)) {
        ReportError("Failed to narrow naming context", nullptr, nullptr);
        return 1;
      }
      networkContext = existing;
      return 0;
    }
  } catch (const CORBA::TRANSIENT& e) {
    ReportException(
        "An error occurred while obtain a reference to the network context. Coordinator could not be reached. "
        "Make shure Coordinator is running",
        e);
    return 2;
  } catch (const CORBA::SystemException& e) {
    ReportException("An error occurred while obtain a reference to the network context", e);
  } catch (...) {
    ReportError("Unknown error occurred while obtain a reference to the network context", nullptr, nullptr);
  }
  return 1;
}

int CCorbaWrapper::BindObject(const std::string& name, CORBA::Object_ptr object) {
  CosNaming::NamingContext_var networkContext;
  int rc = GetNetworkContext(networkContext);
  if (rc != 0) return rc;

  CosNaming::Name objectName = SimpleName(name.c_str(), kObjectKind);
  try {
    try {
      networkContext->bind(objectName, object);
    } catch (const CosNaming::NamingContext::AlreadyBound&) {
      // Left over from an earlier run of this computer's service.
      networkContext->rebind(objectName, object);
    }
    return 0;
  } catch (const CORBA::TRANSIENT& e) {
    ReportException(
        "An error occurred while binding object. Coordinator could not be reached. Make shure Coordinator is "
        "running",
        e);
    return 2;
  } catch (const CORBA::SystemException& e) {
    ReportException("An error occurred while binding object", e);
  } catch (...) {
    ReportError("Unknown error occurred while binding object", nullptr, nullptr);
  }
  return 1;
}

int CCorbaWrapper::UnbindObject(const std::string& name) {
  // Withdrawing recreates a missing network context, like any other access.
  CosNaming::NamingContext_var networkContext;
  int rc = GetNetworkContext(networkContext);
  if (rc != 0) return rc;

  try {
    networkContext->unbind(SimpleName(name.c_str(), kObjectKind));
    return 0;
  } catch (const CORBA::TRANSIENT& e) {
    ReportException(
        "An error occurred while unbinding object. Coordinator could not be reached. Make shure Coordinator is "
        "running",
        e);
    return 2;
  } catch (const CORBA::SystemException& e) {
    ReportException("An error occurred while unbinding object", e);
  } catch (...) {
    // NotFound lands here: nothing was bound under the name.
    ReportError("Unknown error occurred while unbinding object", nullptr, nullptr);
  }
  return 1;
}

int CCorbaWrapper::RegisterObject(CORBA::Object_ptr object, const std::string& name) {
  int rc = BindObject(name, object);
  // Only an unreachable naming service is worth another attempt.
  for (int retry = 0; rc == 2 && retry < kRegisterRetries; ++retry) {
    boost::this_thread::sleep(kRegisterRetryPause);
    std::cerr << "Retry to register " << name << "." << kObjectKind << std::endl;
    rc = BindObject(name, object);
  }
  return rc;
}

int CCorbaWrapper::PublishObject(LauncherTie& tie, const std::string& name, Launcher_impl* implementation,
                                 RuraduZezarev::Launcher_var& reference) {
  if (CORBA::is_nil(rootPoa)) return 1;
  try {
    tie._tied_object(implementation, true);  // deletes an object it owned before
    PortableServer::ObjectId_var id = rootPoa->activate_object(&tie);
    reference = tie._this();
    return RegisterObject(reference.in(), name) == 0 ? 0 : 1;
  } catch (const CORBA::Exception& e) {
    ReportException("An error occurred while publishing the object", e);
  }
  return 1;
}

void CCorbaWrapper::UnpublishObject(LauncherTie& tie, const std::string& name) {
  if (CORBA::is_nil(rootPoa)) return;
  try {
    PortableServer::ObjectId_var id = rootPoa->servant_to_id(&tie);
    rootPoa->deactivate_object(id.in());
    UnbindObject(name);  // reports its own failures
  } catch (...) {
    // A tie that was never active leaves the binding as it is.
  }
}
