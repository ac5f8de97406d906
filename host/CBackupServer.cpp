#include "host/CBackupServer.h"

#include <iostream>
#include <locale>
#include <string>

#include <boost/filesystem.hpp>

#include "config/CSettings.h"
#include "kllib/KLLib.h"
#include "launcher/ExecuteCommandLine.h"

namespace {

// Wide text to UTF-8 for the log file, the same bytes toAstr gives: the log
// keeps every line whatever characters it holds. Output only.
class Utf8LogConversion : public std::codecvt<wchar_t, char, std::mbstate_t> {
 protected:
  result do_out(std::mbstate_t&, const wchar_t* from, const wchar_t* fromEnd, const wchar_t*& fromNext,
                char* to, char* toEnd, char*& toNext) const override {
    fromNext = from;
    toNext = to;
    while (fromNext != fromEnd) {
      std::string bytes = KLLib::strings::toAstr(std::wstring(1, *fromNext));
      if (static_cast<size_t>(toEnd - toNext) < bytes.size()) return partial;
      for (char c : bytes) *toNext++ = c;
      ++fromNext;
    }
    return ok;
  }
  result do_in(std::mbstate_t&, const char* from, const char*, const char*& fromNext, wchar_t* to, wchar_t*,
               wchar_t*& toNext) const override {
    fromNext = from;
    toNext = to;
    return error;
  }
  result do_unshift(std::mbstate_t&, char* to, char*, char*& toNext) const override {
    toNext = to;
    return noconv;
  }
  int do_encoding() const noexcept override { return 0; }
  bool do_always_noconv() const noexcept override { return false; }
  int do_max_length() const noexcept override { return 4; }
};

std::locale LogLocale() { return std::locale(std::locale::classic(), new Utf8LogConversion); }

std::string LogPathA() { return KLLib::strings::toAstr(CSettings::Instance()->GetLogFilePath()); }

}  // namespace

boost::mutex& CBackupServer::stopMutex = *new boost::mutex;
boost::condition_variable& CBackupServer::stopCondition = *new boost::condition_variable;
bool CBackupServer::stopDone = false;
bool CBackupServer::stopRequested = false;

CBackupServer::CBackupServer() : launcherTie(static_cast<Launcher_impl*>(nullptr), true) {
  onOrbRunFinished = &CBackupServer::SignalStop;
  CSettings::Instance()->Load();
}

CBackupServer::~CBackupServer() {
  if (logStream.is_open()) logStream.close();
  if (savedWcerrBuffer != nullptr) std::wcerr.rdbuf(savedWcerrBuffer);
  CSettings::DestroyInstance();
}

void CBackupServer::WriteLine(const wchar_t* text) {
  std::wcerr << text << std::endl;
  std::wcerr.flush();
}

void CBackupServer::ResetLogFile() {
  // On a fresh machine the logs folder does not exist yet; without it neither
  // this log nor the ORB's own could be opened and the ORB would refuse to start.
  boost::system::error_code ignored;
  boost::filesystem::create_directories(boost::filesystem::path(LogPathA()).parent_path(), ignored);
  std::wofstream file;
  file.open(LogPathA(), std::ios::out | std::ios::trunc);
  file.close();
}

int CBackupServer::Run(int argc, wchar_t** argv) {
  ResetLogFile();
  CSettings* settings = CSettings::Instance();
  orbLogFile = settings->GetLogFilePath() + L".crb";
  orbDebugLevel = settings->GetDebugLevel();

  // The conversion must be in place before the file is opened.
  logStream.imbue(LogLocale());
  logStream.open(LogPathA(), std::ios::out | std::ios::trunc);
  savedWcerrBuffer = std::wcerr.rdbuf();
  if (logStream.is_open()) std::wcerr.rdbuf(logStream.rdbuf());

  WriteLine(L"Start update service");
  int result = 1;

  if (argc > 1 && argv != nullptr) {
    result = InitOrb(argc, argv, nullptr);
    if (result != 0) {
      WriteLine(L"Can't connect to the Coordinator with given command line arguments");
      return result;
    }
    WriteLine(L"Stop update service");
    return 0;
  }

  if (Connect(settings->GetCoordinatorHost(), settings->GetCoordinatorPort()) != 0) {
    WriteLine(L"Can't connect to Coordinator");
    WriteLine(L"Stop update service");
    return 1;
  }

  try {
    Launcher_impl* implementation = new Launcher_impl();
    RuraduZezarev::Launcher_var reference;
    PublishObject(launcherTie, settings->GetComputerNetworkNameA(), implementation, reference);
    // Without a root POA the tie never took the servant: it is still ours.
    if (launcherTie._tied_object() != implementation) delete implementation;
    if (CORBA::is_nil(reference)) {
      WriteLine(L"Can't register update service on the Coordinator");
    } else {
      WaitForStop();
      // A request blocked in a family program would hold the POA's and the
      // ORB's shutdown forever: its program ends with the service.
      StopCommandLines();
      UnpublishObject(launcherTie, CSettings::Instance()->GetComputerNetworkNameA());
      Shutdown();
      result = 0;
    }
  } catch (const CORBA::Exception& exception) {
    ReportException("Update service start failed", exception);
    result = 1;
  }

  WriteLine(L"Stop update service");
  return result;
}

void CBackupServer::ReportError(const char* message, const char* exceptionName, const char* exceptionInfo) {
  for (const char* text : {message, exceptionName, exceptionInfo}) {
    if (text == nullptr) continue;
    WriteLine(KLLib::strings::toWstr(std::string(text)).c_str());
  }
}

void CBackupServer::WaitForStop() {
  boost::unique_lock<boost::mutex> lock(stopMutex);
  while (!stopDone && !stopRequested) stopCondition.wait(lock);
  stopDone = true;
}

void CBackupServer::SignalStop() {
  boost::lock_guard<boost::mutex> lock(stopMutex);
  if (stopDone) return;
  stopRequested = true;
  stopCondition.notify_one();
}
