// The machine-wide store of account rights (the local security policy):
// one "SID right" per line in a file that only root may change.
#pragma once

#include <string>

#include "platform/ScopedFd.h"

namespace platform {

// An open handle on the store, neither copied nor moved; closed once, by the
// destructor. One thread at a time; several processes may use the store at
// once.
class RightsStore {
 public:
  RightsStore() = default;
  RightsStore(const RightsStore&) = delete;
  RightsStore& operator=(const RightsStore&) = delete;
  ~RightsStore() = default;

  // The store's file: $ORVANTA_LSA_POLICY_PATH when set and not empty, else
  // /var/lib/orvanta/lsa/policy.
  static std::string Path();

  // Opens the store for reading and writing, creating its folder (mode 0755,
  // with missing parents) and an empty file (mode 0644) when missing.
  // 0 on success; otherwise the error number (EACCES for a caller without
  // write access, ENOTDIR for a path under a regular file, ...).
  int Open();

  // Gives `sid` the right `right` unless it holds it already (then the store
  // is left as it was). The new store is written to a temporary file, synced
  // and renamed over the old one under an exclusive lock, so a crash leaves
  // either store whole and concurrent writers lose no line.
  // 0 on success; otherwise the error number (EBADF when not open).
  int AddAccountRight(const std::wstring& sid, const std::wstring& right);

 private:
  int LockCurrent();

  std::string path_;
  ScopedFd fd_;
};

}  // namespace platform
