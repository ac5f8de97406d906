// launcherctl: the Coordinator's side of the Launcher interface, for
// administrators and tests. Lists the launchers bound in a naming service and
// calls the four operations on one of them.
//
//   launcherctl [--naming HOST:PORT] list
//   launcherctl [--naming HOST:PORT] create COMPUTER KIND SERVICE ACCOUNT PASSWORD EXECUTABLE
//   launcherctl [--naming HOST:PORT] remove|start|stop COMPUTER KIND SERVICE EXECUTABLE
//
// Exit code: 0 the operation answered true (or the list was printed), 1 it
// answered false, 2 bad usage or the naming service or launcher unreachable.
#include <omniORB4/CORBA.h>
#include <omniORB4/Naming.hh>

#include <cerrno>
#include <cstdlib>
#include <iostream>
#include <string>
#include <vector>

#include "idl/Launcher.hh"
#include "kllib/KLLib.h"

namespace {

constexpr int kTrue = 0;
constexpr int kFalse = 1;
constexpr int kFailed = 2;

const char* const kDefaultNaming = "127.0.0.1:1755";
const char* const kContextId = "OrvantaRuraduZezarev";
const char* const kContextKind = "context";
const char* const kLauncherKind = "launcher";

const char* const kUsage =
    "usage: launcherctl [--naming HOST:PORT] list\n"
    "       launcherctl [--naming HOST:PORT] create COMPUTER KIND SERVICE ACCOUNT PASSWORD EXECUTABLE\n"
    "       launcherctl [--naming HOST:PORT] remove|start|stop COMPUTER KIND SERVICE EXECUTABLE\n"
    "KIND: server, workstation or a number\n";

int Fail(const std::string& message) {
  std::cerr << "launcherctl: " << message << std::endl;
  return kFailed;
}

int Usage(const std::string& message) {
  std::cerr << "launcherctl: " << message << "\n" << kUsage;
  return kFailed;
}

// "server", "workstation" or an unsigned number, sent as it is even when it
// names no kind: the launcher is the one to judge it.
bool ParseKind(const std::string& text, CORBA::ULong& kind) {
  if (text == "server") {
    kind = RuraduZezarev::SERVER_SERVICE;
    return true;
  }
  if (text == "workstation") {
    kind = RuraduZezarev::WORKSTATION_SERVICE;
    return true;
  }
  if (text.empty() || text.find_first_not_of("0123456789") != std::string::npos) return false;
  errno = 0;
  unsigned long value = std::strtoul(text.c_str(), nullptr, 10);
  if (errno != 0 || value > 0xFFFFFFFFul) return false;
  kind = static_cast<CORBA::ULong>(value);
  return true;
}

bool ValidNamingAddress(const std::string& address) {
  size_t colon = address.rfind(':');
  if (colon == std::string::npos || colon == 0 || colon + 1 == address.size()) return false;
  std::string port = address.substr(colon + 1);
  if (port.find_first_not_of("0123456789") != std::string::npos) return false;
  unsigned long value = std::strtoul(port.c_str(), nullptr, 10);
  return value > 0 && value < 65536;
}

std::string Describe(const CORBA::Exception& exception) {
  std::string text = exception._name();
  if (const CORBA::SystemException* system = CORBA::SystemException::_downcast(&exception)) {
    const char* minor = system->NP_minorString();
    if (minor != nullptr) text += std::string(" (") + minor + ")";
  }
  return text;
}

CosNaming::Name ContextName() {
  CosNaming::Name name;
  name.length(1);
  name[0].id = CORBA::string_dup(kContextId);
  name[0].kind = CORBA::string_dup(kContextKind);
  return name;
}

// The root context of the naming service; nil after writing why.
CosNaming::NamingContext_ptr RootContext(CORBA::ORB_ptr orb, const std::string& naming, int& result) {
  try {
    CORBA::Object_var object = orb->resolve_initial_references("NameService");
    CosNaming::NamingContext_var root = CosNaming::NamingContext::_narrow(object);
    if (CORBA::is_nil(root)) {
      result = Fail("no naming service at " + naming);
      return CosNaming::NamingContext::_nil();
    }
    return root._retn();
  } catch (const CORBA::Exception& exception) {
    result = Fail("cannot reach the naming service at " + naming + ": " + Describe(exception));
    return CosNaming::NamingContext::_nil();
  }
}

int List(CORBA::ORB_ptr orb, const std::string& naming) {
  int result = kTrue;
  CosNaming::NamingContext_var root = RootContext(orb, naming, result);
  if (CORBA::is_nil(root)) return result;
  try {
    CORBA::Object_var object;
    try {
      object = root->resolve(ContextName());
    } catch (const CosNaming::NamingContext::NotFound&) {
      return kTrue;  // no launcher has ever registered
    }
    CosNaming::NamingContext_var context = CosNaming::NamingContext::_narrow(object);
    if (CORBA::is_nil(context)) return Fail(std::string(kContextId) + "." + kContextKind + " is not a naming context");
    CosNaming::BindingList_var bindings;
    CosNaming::BindingIterator_var iterator;
    context->list(256, bindings.out(), iterator.out());
    for (;;) {
      for (CORBA::ULong i = 0; i < bindings->length(); ++i) {
        const CosNaming::Binding& binding = bindings[i];
        if (binding.binding_type != CosNaming::nobject || binding.binding_name.length() != 1) continue;
        if (std::string(binding.binding_name[0].kind.in()) != kLauncherKind) continue;
        std::cout << binding.binding_name[0].id.in() << "\n";
      }
      if (CORBA::is_nil(iterator) || !iterator->next_n(256, bindings.out())) break;
    }
    if (!CORBA::is_nil(iterator)) iterator->destroy();
    std::cout.flush();
    return kTrue;
  } catch (const CORBA::Exception& exception) {
    return Fail("cannot list the launchers at " + naming + ": " + Describe(exception));
  }
}

struct Request {
  std::string operation;
  std::string computer;
  CORBA::ULong kind = 0;
  std::wstring service;
  std::wstring account;
  std::wstring password;
  std::wstring executable;
};

// A kind that names no enumerator cannot pass through the typed stub (an enum
// variable holds only its enumerators); it goes through the dynamic interface
// as the unsigned long an enum is on the wire. Throws what the call raised.
CORBA::Boolean CallWithRawKind(RuraduZezarev::Launcher_ptr launcher, const Request& request) {
  const char* operation = request.operation == "create"   ? "CreateService"
                          : request.operation == "remove" ? "RemoveService"
                          : request.operation == "start"  ? "StartService"
                                                          : "StopService";
  CORBA::Request_var call = launcher->_request(operation);
  call->add_in_arg() <<= request.kind;
  call->add_in_arg() <<= request.service.c_str();
  if (request.operation == "create") {
    call->add_in_arg() <<= request.account.c_str();
    call->add_in_arg() <<= request.password.c_str();
  }
  call->add_in_arg() <<= request.executable.c_str();
  call->set_return_type(CORBA::_tc_boolean);
  call->invoke();
  if (CORBA::Exception* failure = call->env()->exception()) failure->_raise();
  CORBA::Boolean answer = false;
  call->return_value() >>= CORBA::Any::to_boolean(answer);
  return answer;
}

int Call(CORBA::ORB_ptr orb, const std::string& naming, const Request& request) {
  int result = kTrue;
  CosNaming::NamingContext_var root = RootContext(orb, naming, result);
  if (CORBA::is_nil(root)) return result;

  RuraduZezarev::Launcher_var launcher;
  try {
    CosNaming::Name name = ContextName();
    name.length(2);
    name[1].id = CORBA::string_dup(request.computer.c_str());
    name[1].kind = CORBA::string_dup(kLauncherKind);
    CORBA::Object_var object = root->resolve(name);
    launcher = RuraduZezarev::Launcher::_narrow(object);
  } catch (const CosNaming::NamingContext::NotFound&) {
    return Fail("no launcher is bound for " + request.computer + " at " + naming);
  } catch (const CORBA::Exception& exception) {
    return Fail("cannot look up the launcher of " + request.computer + " at " + naming + ": " + Describe(exception));
  }
  if (CORBA::is_nil(launcher)) return Fail("the object bound for " + request.computer + " is not a launcher");

  const bool namedKind =
      request.kind == RuraduZezarev::SERVER_SERVICE || request.kind == RuraduZezarev::WORKSTATION_SERVICE;
  const auto kind = namedKind ? static_cast<RuraduZezarev::KLServices>(request.kind) : RuraduZezarev::SERVER_SERVICE;
  try {
    CORBA::Boolean answer = false;
    if (!namedKind) {
      answer = CallWithRawKind(launcher, request);
    } else if (request.operation == "create") {
      answer = launcher->CreateService(kind, request.service.c_str(), request.account.c_str(),
                                       request.password.c_str(), request.executable.c_str());
    } else if (request.operation == "remove") {
      answer = launcher->RemoveService(kind, request.service.c_str(), request.executable.c_str());
    } else if (request.operation == "start") {
      answer = launcher->StartService(kind, request.service.c_str(), request.executable.c_str());
    } else {
      answer = launcher->StopService(kind, request.service.c_str(), request.executable.c_str());
    }
    return answer ? kTrue : kFalse;
  } catch (const CORBA::MARSHAL& exception) {
    return Fail("the request was refused as malformed (kind " + std::to_string(request.kind) +
                "?): " + Describe(exception));
  } catch (const CORBA::Exception& exception) {
    return Fail("cannot reach the launcher of " + request.computer + ": " + Describe(exception));
  }
}

int Main(int argc, char** argv) {
  std::vector<std::string> args(argv + 1, argv + argc);
  std::string naming = kDefaultNaming;
  if (!args.empty() && args[0] == "--naming") {
    if (args.size() < 2) return Usage("--naming needs HOST:PORT");
    naming = args[1];
    args.erase(args.begin(), args.begin() + 2);
  } else if (!args.empty() && args[0].rfind("--naming=", 0) == 0) {
    naming = args[0].substr(9);
    args.erase(args.begin());
  }
  if (!ValidNamingAddress(naming)) return Usage("bad naming service address '" + naming + "', want HOST:PORT");
  if (args.empty()) return Usage("no command");

  const std::string& command = args[0];
  Request request;
  if (command == "list") {
    if (args.size() != 1) return Usage("list takes no arguments");
  } else if (command == "create") {
    if (args.size() != 7) return Usage("create needs COMPUTER KIND SERVICE ACCOUNT PASSWORD EXECUTABLE");
  } else if (command == "remove" || command == "start" || command == "stop") {
    if (args.size() != 5) return Usage(command + " needs COMPUTER KIND SERVICE EXECUTABLE");
  } else {
    return Usage("unknown command '" + command + "'");
  }
  if (command != "list") {
    request.operation = command;
    request.computer = args[1];
    if (!ParseKind(args[2], request.kind)) {
      return Usage("bad KIND '" + args[2] + "': server, workstation or a number");
    }
    request.service = KLLib::strings::toWstr(args[3]);
    if (command == "create") {
      request.account = KLLib::strings::toWstr(args[4]);
      request.password = KLLib::strings::toWstr(args[5]);
      request.executable = KLLib::strings::toWstr(args[6]);
    } else {
      request.executable = KLLib::strings::toWstr(args[4]);
    }
  }

  // A client only: the ORB opens no endpoint unless a POA is activated, and
  // gives up connecting after a bound.
  std::string initRef = "NameService=corbaloc:iiop:" + naming + "/NameService";
  std::vector<std::string> orbArgs{"launcherctl", "-ORBInitRef", initRef, "-ORBclientConnectTimeOutPeriod", "10000"};
  std::vector<char*> orbArgv;
  for (std::string& arg : orbArgs) orbArgv.push_back(&arg[0]);
  int orbArgc = static_cast<int>(orbArgv.size());
  orbArgv.push_back(nullptr);

  CORBA::ORB_var orb;
  try {
    orb = CORBA::ORB_init(orbArgc, orbArgv.data());
  } catch (const CORBA::Exception& exception) {
    return Fail("cannot start the ORB: " + Describe(exception));
  }
  int result = command == "list" ? List(orb, naming) : Call(orb, naming, request);
  try {
    orb->destroy();
  } catch (const CORBA::Exception&) {
    // Nothing left to tell: the result is already known.
  }
  return result;
}

}  // namespace

int main(int argc, char** argv) { return Main(argc, argv); }
