// The per-user roaming application-data folder: where the service keeps its
// settings and its log.
#pragma once

#include <string>

namespace platform {

// Looks the folder up and creates it (with any missing parents, mode 0700)
// when it does not exist yet. Candidates, in order: $XDG_CONFIG_HOME when set
// and absolute; $HOME/.config when $HOME is set and absolute; the account's
// home from the password database followed by "/.config". The first candidate
// that is, or can be made, a folder wins.
// true: `folder` holds its path, without a trailing '/'. false: no candidate
// could be had or created; `folder` is untouched. Any thread.
bool GetAppDataFolder(std::wstring& folder);

}  // namespace platform
