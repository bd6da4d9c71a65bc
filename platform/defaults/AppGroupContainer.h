#pragma once

#include <string>
#include <string_view>

#include "base/value/Expected.h"

namespace platform {

// Where suites live. Each suite is one folder directly under the root, named by the suite, that
// holds the database file "defaults.sqlite3" (and SQLite's "-wal" and "-shm" files beside it):
//
//   <root>/<suiteName>/defaults.sqlite3
//
// A folder per suite, rather than a file, gives each suite its own place for SQLite's side files
// and lets the group be granted one suite without the others.

// The root: $APP_GROUP_CONTAINERS_ROOT when set and not empty; otherwise
// $XDG_STATE_HOME/tovrin/app-groups when XDG_STATE_HOME is an absolute path; otherwise
// $HOME/.local/state/tovrin/app-groups; and /var/lib/tovrin/app-groups when HOME is unset or
// empty (a service account without a home). Processes that share suites must agree on the root,
// so programs started with different users or environments set APP_GROUP_CONTAINERS_ROOT.
std::string appGroupContainersRoot();

// Whether `suiteName` names a folder directly under the root: not empty, not "." or "..", and
// without "/" or NUL.
bool isValidSuiteName(std::string_view suiteName);

enum class IfMissing { create, fail };

// The path of the database file of suite `suiteName` under `root`. With IfMissing::create, the
// missing folders are made (the suite's own folder with mode 0770) and a missing database file is
// created empty with mode 0660, whatever the umask, so that the owner and the group, and no one
// else, can read and write it. Fails with the reason when the name is not valid, a folder cannot
// be made, or (with IfMissing::fail) the suite does not exist.
base::Expected<std::string> suiteDatabasePath(std::string_view root,
                                              std::string_view suiteName,
                                              IfMissing ifMissing);

}  // namespace platform
