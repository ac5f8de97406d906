#include "corba/ExceptionText.h"

#include <cstdio>

namespace corba {

std::string ExceptionInfo(const CORBA::Exception& exception) {
  const char* id = exception._rep_id();
  std::string info = "ID '" + std::string(id ? id : "") + "'";
  const CORBA::SystemException* system = CORBA::SystemException::_downcast(&exception);
  if (!system) return "user exception, " + info;

  char minor[32];
  std::snprintf(minor, sizeof minor, "0x%lx", static_cast<unsigned long>(system->minor()));
  const char* minorName = system->NP_minorString();
  const char* completed = "MAYBE";
  if (system->completed() == CORBA::COMPLETED_YES) completed = "YES";
  if (system->completed() == CORBA::COMPLETED_NO) completed = "NO";
  return "system exception, " + info + ", minor code = " + minor + " (" +
         (minorName ? minorName : "unknown") + "), completed = " + completed;
}

}  // namespace corba
