#include "corba/OrbArguments.h"

namespace corba {
namespace {

// "scheme://rest" -> "corbaloc:scheme:rest" for the schemes the family uses.
std::string TranslateUrl(const std::string& url) {
  for (const char* scheme : {"iiop", "ssliop"}) {
    std::string prefix = std::string(scheme) + "://";
    if (url.compare(0, prefix.size(), prefix) == 0)
      return "corbaloc:" + std::string(scheme) + ":" + url.substr(prefix.size());
  }
  return url;
}

// "Name=iiop://..." keeps its name and gets a corbaloc URL.
std::string TranslateInitRef(const std::string& value) {
  size_t equals = value.find('=');
  if (equals == std::string::npos) return value;
  return value.substr(0, equals + 1) + TranslateUrl(value.substr(equals + 1));
}

}  // namespace

std::vector<std::string> TranslateOrbArguments(const std::vector<std::string>& args) {
  std::vector<std::string> out;
  for (size_t i = 0; i < args.size(); ++i) {
    const std::string& arg = args[i];
    bool hasValue = i + 1 < args.size();
    if (hasValue && (arg == "-ORBDebugLevel" || arg == "-ORBLogFile")) {
      const std::string& value = args[++i];
      if (value.empty()) continue;
      out.push_back(arg == "-ORBDebugLevel" ? "-ORBtraceLevel" : "-ORBtraceFile");
      out.push_back(value);
    } else if (hasValue && arg == "-ORBInitRef") {
      out.push_back(arg);
      out.push_back(TranslateInitRef(args[++i]));
    } else if (hasValue && arg == "-ORBDefaultInitRef") {
      out.push_back(arg);
      out.push_back(TranslateUrl(args[++i]));
    } else {
      out.push_back(arg);
    }
  }
  // omniORB dispatches in parallel by default; the Launcher operations expect
  // to run one after the other, as on the event-loop thread.
  for (const char* option : {"-ORBthreadPerConnectionPolicy", "0", "-ORBmaxServerThreadPoolSize", "1"})
    out.push_back(option);
  return out;
}

const char* TranslateOrbId(const char*) { return nullptr; }

}  // namespace corba
