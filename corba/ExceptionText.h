// How a caught CORBA exception is described in the error hook's details.
#pragma once

#include <omniORB4/CORBA.h>

#include <string>

namespace corba {

// One line: the kind and repository id, and for a system exception its minor
// code (number and omniORB's name for it) and completion status, e.g.
// "system exception, ID 'IDL:omg.org/CORBA/TRANSIENT:1.0', minor code = 0x41540002
// (TRANSIENT_ConnectFailed), completed = NO".
std::string ExceptionInfo(const CORBA::Exception& exception);

}  // namespace corba
