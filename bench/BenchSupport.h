// Small helpers shared by the benchmark programs: a monotonic clock, order
// statistics, and a client ORB that finds launchers in a naming service.
#ifndef BENCH_BENCHSUPPORT_H
#define BENCH_BENCHSUPPORT_H

#include <omniORB4/CORBA.h>
#include <omniORB4/Naming.hh>

#include <algorithm>
#include <chrono>
#include <string>
#include <vector>

#include "idl/Launcher.hh"

namespace bench {

inline double NowMs() {
  using namespace std::chrono;
  return duration<double, std::milli>(steady_clock::now().time_since_epoch()).count();
}

// The value at fraction q (0..1) of the sorted samples; 0 for none.
inline double Quantile(std::vector<double> samples, double q) {
  if (samples.empty()) return 0;
  std::sort(samples.begin(), samples.end());
  size_t index = static_cast<size_t>(q * (samples.size() - 1) + 0.5);
  return samples[std::min(index, samples.size() - 1)];
}

inline double Median(const std::vector<double>& samples) { return Quantile(samples, 0.5); }

inline const char* Verdict(bool met) { return met ? "PASS" : "MISS"; }

// A client-only ORB whose NameService is the naming service at HOST:PORT.
// Connecting gives up after a bound, so a dead naming service cannot hang us.
inline CORBA::ORB_ptr ClientOrb(const std::string& naming) {
  std::vector<std::string> args{"bench", "-ORBInitRef", "NameService=corbaloc:iiop:" + naming + "/NameService",
                                "-ORBclientConnectTimeOutPeriod", "5000", "-ORBclientCallTimeOutPeriod", "30000"};
  std::vector<char*> argv;
  for (std::string& arg : args) argv.push_back(&arg[0]);
  int argc = static_cast<int>(argv.size());
  argv.push_back(nullptr);
  return CORBA::ORB_init(argc, argv.data());
}

inline CosNaming::NamingContext_ptr RootContext(CORBA::ORB_ptr orb) {
  CORBA::Object_var object = orb->resolve_initial_references("NameService");
  return CosNaming::NamingContext::_narrow(object);
}

// ("OrvantaRuraduZezarev", "context") / (computer, "launcher"); the context alone when computer is empty.
inline CosNaming::Name LauncherName(const std::string& computer) {
  CosNaming::Name name;
  name.length(computer.empty() ? 1 : 2);
  name[0].id = CORBA::string_dup("OrvantaRuraduZezarev");
  name[0].kind = CORBA::string_dup("context");
  if (!computer.empty()) {
    name[1].id = CORBA::string_dup(computer.c_str());
    name[1].kind = CORBA::string_dup("launcher");
  }
  return name;
}

// The launcher bound for computer, or nil while there is none.
inline RuraduZezarev::Launcher_ptr FindLauncher(CosNaming::NamingContext_ptr root, const std::string& computer) {
  try {
    CORBA::Object_var object = root->resolve(LauncherName(computer));
    return RuraduZezarev::Launcher::_narrow(object);
  } catch (const CosNaming::NamingContext::NotFound&) {
    return RuraduZezarev::Launcher::_nil();
  }
}

// How many launchers the naming service lists; 0 while the context is missing.
inline size_t CountLaunchers(CosNaming::NamingContext_ptr root) {
  CORBA::Object_var object;
  try {
    object = root->resolve(LauncherName(""));
  } catch (const CosNaming::NamingContext::NotFound&) {
    return 0;
  }
  CosNaming::NamingContext_var context = CosNaming::NamingContext::_narrow(object);
  if (CORBA::is_nil(context)) return 0;
  CosNaming::BindingList_var bindings;
  CosNaming::BindingIterator_var iterator;
  context->list(1000, bindings.out(), iterator.out());
  size_t count = 0;
  for (;;) {
    for (CORBA::ULong i = 0; i < bindings->length(); ++i) {
      if (bindings[i].binding_type == CosNaming::nobject &&
          std::string(bindings[i].binding_name[0].kind.in()) == "launcher")
        ++count;
    }
    if (CORBA::is_nil(iterator) || !iterator->next_n(1000, bindings.out())) break;
  }
  if (!CORBA::is_nil(iterator)) iterator->destroy();
  return count;
}

}  // namespace bench

#endif  // BENCH_BENCHSUPPORT_H
