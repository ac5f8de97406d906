// The ORB arguments this program builds are written in the dialect of the
// family's original ORB (TAO). omniORB reads a different one; this is the one
// place where the two meet, right before CORBA::ORB_init.
#pragma once

#include <string>
#include <vector>

namespace corba {

// The argument vector omniORB accepts for `args`:
// "-ORBDebugLevel N" becomes "-ORBtraceLevel N", "-ORBLogFile F" becomes
// "-ORBtraceFile F" (either one with an empty value is left out, so omniORB keeps
// its default), an "-ORBInitRef"/"-ORBDefaultInitRef" value "X=iiop://H:P/KEY"
// becomes "X=corbaloc:iiop:H:P/KEY" ("ssliop" likewise); everything else passes
// unchanged. Appended at the end: thread-pool dispatch with a single worker,
// so requests are carried out one after the other.
std::vector<std::string> TranslateOrbArguments(const std::vector<std::string>& args);

// The ORB identifier omniORB accepts: always null (one ORB per process).
const char* TranslateOrbId(const char* orbId);

}  // namespace corba
