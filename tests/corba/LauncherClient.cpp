// A Coordinator-side client for the tests: finds the Launcher of a computer
// through the naming service and calls StartService on it.
//   corba_test_client NAMESERVICE-CORBALOC COMPUTER SERVICE EXECUTABLE
// Prints "result true" or "result false" and exits 0; on a failure prints
// what went wrong and exits 1.
#include <omniORB4/CORBA.h>
#include <omniORB4/Naming.hh>

#include <iostream>
#include <string>

#include "idl/Launcher.hh"
#include "kllib/KLLib.h"

namespace {

CosNaming::Name Path(const std::string& computer) {
  CosNaming::Name name;
  name.length(2);
  name[0].id = CORBA::string_dup("OrvantaRuraduZezarev");
  name[0].kind = CORBA::string_dup("context");
  name[1].id = CORBA::string_dup(computer.c_str());
  name[1].kind = CORBA::string_dup("launcher");
  return name;
}

}  // namespace

int main(int argc, char** argv) {
  if (argc != 5) {
    std::cerr << "usage: corba_test_client NAMESERVICE COMPUTER SERVICE EXECUTABLE" << std::endl;
    return 1;
  }
  std::string initRef = std::string("NameService=") + argv[1];
  const char* orbArgs[] = {argv[0], "-ORBInitRef", initRef.c_str(), nullptr};
  int orbArgc = 3;
  try {
    CORBA::ORB_var orb = CORBA::ORB_init(orbArgc, const_cast<char**>(orbArgs));
    CORBA::Object_var object = orb->resolve_initial_references("NameService");
    CosNaming::NamingContext_var root = CosNaming::NamingContext::_narrow(object);
    if (CORBA::is_nil(root)) {
      std::cerr << "no naming context" << std::endl;
      return 1;
    }
    CORBA::Object_var bound = root->resolve(Path(argv[2]));
    RuraduZezarev::Launcher_var launcher = RuraduZezarev::Launcher::_narrow(bound);
    if (CORBA::is_nil(launcher)) {
      std::cerr << "not a Launcher" << std::endl;
      return 1;
    }
    std::wstring service = KLLib::strings::toWstr(argv[3]);
    std::wstring executable = KLLib::strings::toWstr(argv[4]);
    bool result = launcher->StartService(RuraduZezarev::WORKSTATION_SERVICE, service.c_str(), executable.c_str());
    std::cout << "result " << (result ? "true" : "false") << std::endl;
    orb->destroy();
    return 0;
  } catch (const CORBA::Exception& e) {
    std::cerr << "exception " << e._name() << std::endl;
  }
  return 1;
}
