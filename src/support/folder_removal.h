// Removes one folder of the home folder with everything in it: a user's
// storage folder when the account goes. Links met inside are removed as links
// and never followed, so nothing outside that folder is touched. Blocks on the
// disk; runs on whichever thread calls it and touches nothing global.
#pragma once

#include <string>
#include <string_view>

#include "platform/env.h"

namespace rk::support {

enum class FolderRemoval {
    removed,       // the folder and everything it held are gone
    absent,        // no entry of that name, in any letter case
    refused,       // the name could reach beyond one folder of the home folder
    not_a_folder,  // a file, a link or a device has that name: left as it is
    incomplete,    // something could not be removed; it and the folders holding it stay
    unreachable,   // the home folder could not be looked at; nothing was touched
};

// Whether `name` can only ever name an entry directly inside a folder: not
// empty, not "." or "..", and free of '/', '\\', ':' and NUL.
bool is_plain_entry_name(std::string_view name);

// The entry of `home` that `name` names is found the way a logon finds a
// user's folder: the exact name, else the first entry (in byte order) equal
// to it when ASCII letter case is ignored. Read-only marks are not overridden:
// what they protect stays, as it would for the owner deleting by hand.
FolderRemoval remove_child_folder(platform::Env& env, const std::string& home,
                                  std::string_view name);

}  // namespace rk::support
