// Test helpers for the ORB wrapper: a wrapper that records its error hook's
// calls and opens its protected state to the tests, and a capture of the
// narrow standard error stream.
#pragma once

#include <functional>
#include <iostream>
#include <optional>
#include <sstream>
#include <string>
#include <vector>

#include "corba/CCorbaWrapper.h"

namespace corbatest {

struct Report {
  std::string message;
  std::optional<std::string> name;
  std::optional<std::string> info;
};

class RecordingWrapper : public CCorbaWrapper {
 public:
  using CCorbaWrapper::BindObject;
  using CCorbaWrapper::connectedHost;
  using CCorbaWrapper::connectedPort;
  using CCorbaWrapper::GetNetworkContext;
  using CCorbaWrapper::IsOrbThreadRunning;
  using CCorbaWrapper::onOrbRunFinished;
  using CCorbaWrapper::onOrbRunStarting;
  using CCorbaWrapper::orb;
  using CCorbaWrapper::orbDebugLevel;
  using CCorbaWrapper::orbLogFile;
  using CCorbaWrapper::ResolveRootContext;
  using CCorbaWrapper::rootPoa;
  using CCorbaWrapper::secureTransport;
  using CCorbaWrapper::threadData;
  using CCorbaWrapper::UnbindObject;

  void ReportError(const char* message, const char* name, const char* info) override {
    Report report{message ? message : "<null>", name ? std::optional<std::string>(name) : std::nullopt,
                  info ? std::optional<std::string>(info) : std::nullopt};
    reports.push_back(report);
    if (onReport) onReport(report);
  }

  std::vector<std::string> Messages() const {
    std::vector<std::string> messages;
    for (const Report& r : reports) messages.push_back(r.message);
    return messages;
  }

  std::vector<Report> reports;
  // Runs on the caller's thread inside each ReportError call.
  std::function<void(const Report&)> onReport;
};

// Sends std::cerr into a string for the capture's lifetime.
class CerrCapture {
 public:
  CerrCapture() : old_(std::cerr.rdbuf(buffer_.rdbuf())) {}
  ~CerrCapture() { std::cerr.rdbuf(old_); }
  CerrCapture(const CerrCapture&) = delete;
  CerrCapture& operator=(const CerrCapture&) = delete;

  std::string Text() const { return buffer_.str(); }
  std::vector<std::string> Lines() const {
    std::vector<std::string> lines;
    std::istringstream in(buffer_.str());
    for (std::string line; std::getline(in, line);) lines.push_back(line);
    return lines;
  }

 private:
  std::ostringstream buffer_;
  std::streambuf* old_;
};

}  // namespace corbatest
