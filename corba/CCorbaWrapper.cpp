#include "corba/CCorbaWrapper.h"

#include <boost/date_time/posix_time/posix_time_types.hpp>
#include <boost/thread/condition_variable.hpp>
#include <boost/thread/mutex.hpp>
#include <boost/thread/thread.hpp>
#include <boost/thread/thread_time.hpp>

#include <iostream>
#include <new>
#include <string>
#include <vector>

#include "corba/ExceptionText.h"
#include "corba/OrbArguments.h"
#include "kllib/KLLib.h"

// One event-loop thread and everything it touches. Each start makes a fresh
// record shared by the wrapper and the thread, so a thread that outlives the
// 3-second stop bound (or the wrapper) still finds it alive.
struct COrbThreadData {
  boost::thread thread;
  boost::mutex mutex;
  boost::condition_variable runFinished;
  bool finished = false;  // guarded by mutex; set once the loop has ended
  // The thread's own reference and copies of the hooks: nothing of the wrapper.
  // A plain pointer, released by the thread before it says it has finished: the
  // record may die on a let-go thread while the process tears the ORB library
  // down, and even a nil _var touches that library's memory when it is destroyed.
  CORBA::ORB_ptr orb = nullptr;
  void (*onOrbRunStarting)() = nullptr;
  void (*onOrbRunFinished)() = nullptr;

  COrbThreadData() = default;
  COrbThreadData(const COrbThreadData&) = delete;
  COrbThreadData& operator=(const COrbThreadData&) = delete;
  ~COrbThreadData() { ReleaseOrb(); }
  void ReleaseOrb() {
    if (orb != nullptr) CORBA::release(orb);
    orb = nullptr;
  }
};

namespace {

constexpr int kShutdownAttempts = 5;
const boost::posix_time::milliseconds kShutdownRetryPause(200);
const boost::posix_time::seconds kStopThreadBound(3);

}  // namespace

CCorbaWrapper::CCorbaWrapper() : threadData(new (std::nothrow) COrbThreadData) {}

CCorbaWrapper::~CCorbaWrapper() {
  Shutdown();
  // A thread still held was let go by Shutdown; it keeps its own share.
  threadData.reset();
}

void CCorbaWrapper::ReportError(const char* message, const char* exceptionName, const char* exceptionInfo) {
  for (const char* text : {message, exceptionName, exceptionInfo})
    if (text) std::cerr << text << std::endl;
  std::cerr.flush();
}

CORBA::ORB_ptr CCorbaWrapper::CreateOrb(CCorbaWrapper* wrapper, int argc, wchar_t** argv, const wchar_t* orbId) {
  if (argc == 0 && argv == nullptr) return CORBA::ORB::_nil();
  try {
    std::vector<std::string> given;
    for (int i = 0; argv && i < argc; ++i) given.push_back(argv[i] ? KLLib::strings::toAstr(argv[i]) : "");
    std::vector<std::string> args = corba::TranslateOrbArguments(given);
    std::vector<char*> pointers;
    for (std::string& arg : args) pointers.push_back(&arg[0]);
    pointers.push_back(nullptr);
    // ORB_init may lower the count as it consumes options: it gets a copy.
    int count = static_cast<int>(args.size());
    std::string id = orbId ? KLLib::strings::toAstr(orbId) : std::string();
    return CORBA::ORB_init(count, pointers.data(), corba::TranslateOrbId(orbId ? id.c_str() : nullptr));
  } catch (const CORBA::Exception& e) {
    wrapper->ReportException("An error occurred while initializing the ORB", e);
  } catch (...) {
    wrapper->ReportError("Unknown error occurred while initializing the ORB", nullptr, nullptr);
  }
  return CORBA::ORB::_nil();
}

int CCorbaWrapper::InitOrb(int argc, wchar_t** argv, const wchar_t* orbId) {
  Shutdown();
  orb = CreateOrb(this, argc, argv, orbId);
  if (CORBA::is_nil(orb)) return 1;
  {
    // Only a check that the naming service answers.
    CosNaming::NamingContext_var rootContext;
    if (ResolveRootContext(rootContext) != 0) return 1;
  }
  InitPoa();  // a missing root POA is met later by PublishObject
  return StartOrbThread() ? 0 : 1;
}

int CCorbaWrapper::Connect(const std::wstring& host, const std::wstring& port) {
  if (!CORBA::is_nil(orb) && host == connectedHost && port == connectedPort) return 0;

  std::wstring reference = L"NameService=" + std::wstring(secureTransport ? L"ssliop" : L"iiop") + L"://" +
                           host + L":" + port + L"/NameService";
  std::wstring args[6] = {L"-ORBInitRef",   reference,    L"-ORBDebugLevel",
                          orbDebugLevel,    L"-ORBLogFile", orbLogFile};
  wchar_t* argv[6];
  for (int i = 0; i < 6; ++i) argv[i] = args[i].data();

  int rc = InitOrb(6, argv, host.c_str());
  if (rc != 0) return rc;
  connectedHost = host;
  connectedPort = port;
  return 0;
}

int CCorbaWrapper::ResolveRootContext(CosNaming::NamingContext_var& rootContext) {
  if (CORBA::is_nil(orb)) return 1;
  try {
    CORBA::Object_var object = orb->resolve_initial_references("NameService");
    if (CORBA::is_nil(object)) return 1;
    // The narrow is what contacts the naming service.
    rootContext = CosNaming::NamingContext::_narrow(object);
    if (CORBA::is_nil(rootContext)) {
      ReportError("Failed to narrow the root naming context", nullptr, nullptr);
      return 1;
    }
    return 0;
  } catch (const CORBA::NO_RESOURCES& e) {
    ReportException("An error occurred while obtain a reference to the root context", e);
  } catch (const CORBA::ORB::InvalidName& e) {
    ReportException("An error occurred while obtain a reference to the root context", e);
  } catch (const CORBA::TRANSIENT& e) {
    ReportException(
        "An error occurred while obtain a reference to the root context. Coordinator could not be reached. "
        "Make shure Coordinator is running",
        e);
    return 2;
  } catch (const CORBA::Exception& e) {
    ReportException("Unknown error occurred while obtain a reference to the root context", e);
  }
  return 1;
}

int CCorbaWrapper::InitPoa() {
  try {
    CORBA::Object_var object = orb->resolve_initial_references("RootPOA");
    rootPoa = PortableServer::POA::_narrow(object);
    PortableServer::POAManager_var manager = rootPoa->the_POAManager();
    manager->activate();
    return 0;
  } catch (const CORBA::Exception& e) {
    ReportException("An error occurred while initializing the POA", e);
  } catch (...) {
    ReportError("Unknown error occurred while initializing the POA", nullptr, nullptr);
  }
  return 1;
}

bool CCorbaWrapper::StartOrbThread() {
  if (!threadData) return false;
  std::shared_ptr<COrbThreadData> data(new (std::nothrow) COrbThreadData);
  if (!data) return false;
  data->orb = CORBA::ORB::_duplicate(orb);
  data->onOrbRunStarting = onOrbRunStarting;
  data->onOrbRunFinished = onOrbRunFinished;
  try {
    data->thread = boost::thread(&CCorbaWrapper::OrbThreadProc, data);
  } catch (const boost::thread_resource_error&) {
    return false;  // no thread could be had: the start fails
  }
  // A thread held before is let go without waiting; it keeps its own record.
  if (threadData->thread.joinable()) threadData->thread.detach();
  threadData = std::move(data);
  return IsOrbThreadRunning();
}

void CCorbaWrapper::OrbThreadProc(std::shared_ptr<COrbThreadData> data) {
  try {
    if (data->onOrbRunStarting) data->onOrbRunStarting();
    data->orb->run();
    if (data->onOrbRunFinished) data->onOrbRunFinished();
  } catch (...) {
    // Nothing on this thread reports: the caller's thread owns the error hook.
  }
  // This may be the ORB's last reference: let it go before the waiter hears
  // that the loop has ended, so nothing here touches the ORB library after that.
  data->ReleaseOrb();
  {
    boost::lock_guard<boost::mutex> lock(data->mutex);
    data->finished = true;
  }
  data->runFinished.notify_one();
}

bool CCorbaWrapper::IsOrbThreadRunning() const { return threadData && threadData->thread.joinable(); }

void CCorbaWrapper::StopOrbThread() {
  if (!IsOrbThreadRunning()) return;
  boost::unique_lock<boost::mutex> lock(threadData->mutex);
  const boost::system_time deadline = boost::get_system_time() + kStopThreadBound;
  while (!threadData->finished)
    if (!threadData->runFinished.timed_wait(lock, deadline)) break;
  threadData->thread.interrupt();
  threadData->thread.detach();  // never joined: the wait above is the bound
}

void CCorbaWrapper::Shutdown() {
  DestroyPoa();
  ShutdownOrb();
}

void CCorbaWrapper::DestroyPoa() {
  bool destroyed = CORBA::is_nil(rootPoa);
  for (int attempt = 0; attempt < kShutdownAttempts && !destroyed; ++attempt) {
    try {
      rootPoa->destroy(true, true);
      destroyed = true;
    } catch (const CORBA::SystemException&) {
      boost::this_thread::sleep(kShutdownRetryPause);
    }
  }
  if (!destroyed) {
    try {
      rootPoa->destroy(true, false);
    } catch (const CORBA::Exception&) {
    }
  }
  rootPoa = PortableServer::POA::_nil();
}

void CCorbaWrapper::ShutdownOrb() {
  // omniORB keeps no registry of initial references to undo here.
  if (IsOrbThreadRunning()) {
    bool stopped = CORBA::is_nil(orb);
    for (int attempt = 0; attempt < kShutdownAttempts && !stopped; ++attempt) {
      try {
        orb->shutdown(true);
        stopped = true;
      } catch (const CORBA::SystemException&) {
        boost::this_thread::sleep(kShutdownRetryPause);
      }
    }
    if (!stopped) {
      try {
        orb->shutdown(false);
      } catch (const CORBA::Exception&) {
      }
    }
  }
  if (!CORBA::is_nil(orb)) {
    try {
      orb->destroy();
      orb = CORBA::ORB::_nil();
    } catch (const CORBA::Exception& e) {
      ReportException("An error occurred while stopping the ORB", e);
    }
  }
  StopOrbThread();
}

void CCorbaWrapper::ReportException(const char* message, const CORBA::Exception& exception) {
  std::string info = corba::ExceptionInfo(exception);
  ReportError(message, exception._name(), info.c_str());
}
