// The crash server: listens on an abstract-namespace SOCK_SEQPACKET socket,
// registers crash clients and writes minidumps of them on request.
#pragma once

#include <cstdint>
#include <memory>
#include <string>
#include <vector>

#include "crash/CrashProtocol.h"

namespace crash {

// What the server knows of one registered client. The pid and uid come from
// the kernel's peer credentials, never from the client.
class ClientInfo {
 public:
  ClientInfo(std::int32_t pid, std::uint32_t uid, protocol::DumpType dumpType,
             std::vector<protocol::CustomInfoEntry> customInfo)
      : pid_(pid), uid_(uid), dumpType_(dumpType), customInfo_(std::move(customInfo)) {}

  std::int32_t pid() const { return pid_; }
  std::uint32_t uid() const { return uid_; }
  protocol::DumpType dumpType() const { return dumpType_; }
  // The client's entries in its order, then "ptime" (its run time in ms at registration).
  const std::vector<protocol::CustomInfoEntry>& GetClientCustomInfo() const { return customInfo_; }

 private:
  std::int32_t pid_;
  std::uint32_t uid_;
  protocol::DumpType dumpType_;
  std::vector<protocol::CustomInfoEntry> customInfo_;
};

class CrashGenerationServer {
 public:
  using OnClientConnectedCallback = void (*)(void* context, const ClientInfo* clientInfo);
  using OnClientDumpRequestCallback = void (*)(void* context, const ClientInfo* clientInfo,
                                               const std::wstring* dumpPath);
  using OnClientExitedCallback = void (*)(void* context, const ClientInfo* clientInfo);

  // Nothing runs until Start. Callbacks may be null; they run on the server's
  // worker threads, possibly two at once. Dumps go to `dumpFolder` when
  // `generateDumps` is set (otherwise every dump request is answered as failed).
  CrashGenerationServer(const std::string& socketName, OnClientConnectedCallback connectCallback,
                        void* connectContext, OnClientDumpRequestCallback dumpCallback, void* dumpContext,
                        OnClientExitedCallback exitCallback, void* exitContext, bool generateDumps,
                        const std::wstring& dumpFolder);
  // Stops listening, waits for the dumps in progress and closes every connection.
  ~CrashGenerationServer();

  CrashGenerationServer(const CrashGenerationServer&) = delete;
  CrashGenerationServer& operator=(const CrashGenerationServer&) = delete;

  // Binds the socket and starts the server's threads. true on success; false
  // when the name is taken or a resource is missing (errno tells why). Once only.
  bool Start();

 private:
  struct Impl;
  std::unique_ptr<Impl> impl_;
};

}  // namespace crash
