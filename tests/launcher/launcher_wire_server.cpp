// Serves one Launcher object on a loopback port for the wire tests, which
// cannot call it in their own process (the ORB would short-circuit the
// call). Writes the object's IOR and a newline to standard output, then
// serves until killed. Runs the real servant: its environment chooses the
// rights store and the recording file.
#include <cstdio>
#include <iostream>

#include "launcher/Launcher_impl.h"

int main(int argc, char** argv) {
  const char* options[][2] = {{"endPoint", "giop:tcp:127.0.0.1:0"}, {nullptr, nullptr}};
  try {
    CORBA::ORB_var orb = CORBA::ORB_init(argc, argv, "omniORB4", options);
    CORBA::Object_var rootObject = orb->resolve_initial_references("RootPOA");
    PortableServer::POA_var root = PortableServer::POA::_narrow(rootObject);
    if (CORBA::is_nil(root)) return 2;
    LauncherTie tie(new Launcher_impl, root, true);
    PortableServer::ObjectId_var id = root->activate_object(&tie);
    CORBA::Object_var object = root->id_to_reference(id);
    CORBA::String_var ior = orb->object_to_string(object);
    PortableServer::POAManager_var manager = root->the_POAManager();
    manager->activate();
    std::printf("%s\n", static_cast<const char*>(ior));
    std::fflush(stdout);
    orb->run();
  } catch (const CORBA::Exception& e) {
    std::cerr << "launcher_wire_server: " << e._name() << std::endl;
    return 1;
  }
  return 0;
}
