// The names of the files the server keeps in its home folder, and the forms
// of the temporary names it writes beside a file before renaming over it.
// Client account names may never take one of these (valid_account_name).
#pragma once

#include <array>
#include <string>
#include <string_view>

namespace rk::platform {

// Accounts and settings.
inline constexpr std::string_view kAccountFileName = "rkServer.cfg";
// The old version's user list, read once and deleted by the conversion.
inline constexpr std::string_view kLegacyUsersFileName = "UserInfo.dat";
// The configuration pushed to clients at logon.
inline constexpr std::string_view kClientConfigFileName = "rkClient.ini";
// Held locked while a server runs on the home (one server a home).
inline constexpr std::string_view kInstanceLockName = "rkserver.lock";
// Where the running server takes `rkserver ctl` commands.
inline constexpr std::string_view kControlSocketName = "rkserver.sock";

inline constexpr std::array<std::string_view, 5> kHomeFileNames = {
    kAccountFileName,  kLegacyUsersFileName, kClientConfigFileName,
    kInstanceLockName, kControlSocketName,
};

// Every name the account file is kept under besides its own starts so: the
// temporary file of a save and the copies set aside.
inline constexpr std::string_view kAccountFilePrefix = "rkServer.cfg.";
// Added to a small file's name while its new content is written and synced,
// before it is renamed over the old one.
inline constexpr std::string_view kReplacingSuffix = ".tmp";
// Added to the account file's name when it is set aside: unreadable, or
// written by a version too old to read.
inline constexpr std::string_view kDamagedSuffix = ".damaged";
inline constexpr std::string_view kOldSuffix = ".old";

// The temporary file of an upload to `name` is "." + name + kUploadSuffix in
// the same folder. A client may not upload to a name of that form, so no
// finished upload can ever be renamed over a temporary file still in use.
inline constexpr std::string_view kUploadSuffix = ".rkupload";

// Whether `name` (one path component) has the form of an upload's temporary
// file; letter case is ignored, as client paths find existing entries that way.
bool is_upload_temp_name(std::string_view name);

// The temporary file name (one path component) for an upload to `name`. The
// name is cut so the result stays within the file system's name limit; two
// long names that share that prefix then share a temporary file, and the
// second upload is refused while the first holds it.
std::string upload_temp_name(std::string_view name);

}  // namespace rk::platform
