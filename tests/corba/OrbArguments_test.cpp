#include "corba/OrbArguments.h"

#include <gmock/gmock.h>
#include <gtest/gtest.h>

namespace {

using Args = std::vector<std::string>;

Args WithSerialDispatch(Args args) {
  for (const char* a : {"-ORBthreadPerConnectionPolicy", "0", "-ORBmaxServerThreadPoolSize", "1"}) args.push_back(a);
  return args;
}

TEST(OrbArgumentsTest, TranslatesTheDialectAtTheBoundary) {
  struct Case {
    const char* what;
    Args given;
    Args expected;
  };
  const Case cases[] = {
      {"the six strings of Connect",
       {"-ORBInitRef", "NameService=iiop://localhost:1755/NameService", "-ORBDebugLevel", "5", "-ORBLogFile",
        "/var/log/update.log.crb"},
       {"-ORBInitRef", "NameService=corbaloc:iiop:localhost:1755/NameService", "-ORBtraceLevel", "5",
        "-ORBtraceFile", "/var/log/update.log.crb"}},
      {"secure transport",
       {"-ORBInitRef", "NameService=ssliop://coord.example:2001/NameService"},
       {"-ORBInitRef", "NameService=corbaloc:ssliop:coord.example:2001/NameService"}},
      {"empty debug level and log file keep the ORB's defaults",
       {"-ORBInitRef", "NameService=iiop://h:1/NameService", "-ORBDebugLevel", "", "-ORBLogFile", ""},
       {"-ORBInitRef", "NameService=corbaloc:iiop:h:1/NameService"}},
      {"a reference already in omniORB's form",
       {"-ORBInitRef", "NameService=corbaloc:iiop:h:1/NameService"},
       {"-ORBInitRef", "NameService=corbaloc:iiop:h:1/NameService"}},
      {"other initial references and the default one",
       {"-ORBInitRef", "Other=iiop://h:2/Key", "-ORBDefaultInitRef", "iiop://h:3"},
       {"-ORBInitRef", "Other=corbaloc:iiop:h:2/Key", "-ORBDefaultInitRef", "corbaloc:iiop:h:3"}},
      {"a program name and omniORB options pass unchanged",
       {"ovupdate", "-ORBendPoint", "giop:tcp:127.0.0.1:", "-ORBtraceLevel", "10"},
       {"ovupdate", "-ORBendPoint", "giop:tcp:127.0.0.1:", "-ORBtraceLevel", "10"}},
      {"an option without its value at the end", {"-ORBDebugLevel"}, {"-ORBDebugLevel"}},
      {"nothing", {}, {}},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    EXPECT_EQ(corba::TranslateOrbArguments(c.given), WithSerialDispatch(c.expected));
  }
}

TEST(OrbArgumentsTest, OrbIdIsAlwaysOmniOrbsOwn) {
  EXPECT_EQ(corba::TranslateOrbId("localhost"), nullptr);
  EXPECT_EQ(corba::TranslateOrbId(nullptr), nullptr);
}

}  // namespace
