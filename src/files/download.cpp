#include "files/download.h"

#include "platform/dos_time.h"
#include "platform/wire_path.h"

namespace rk::files {

namespace pf = rk::platform;

DownloadFile open_download(pf::Env& env, const std::string& user_root, std::string_view wire_path) {
    pf::IoStatus why;
    const auto path = pf::map_wire_path(env, user_root, wire_path, &why);
    if (!path) return {.status = why};
    auto opened = support::FileStream::open_for_sending(env, *path);
    if (!opened) return {.status = pf::IoStatus::from_error(opened.error, *path)};
    DownloadFile file{.stream = std::move(opened.stream)};
    // Everything the header tells is read from the open file itself.
    const pf::FileInfo info = file.stream.info();
    if (const auto ec = file.stream.error()) return {.status = pf::IoStatus::from_error(ec, *path)};
    file.size = info.size;
    file.dos_date = std::int32_t(pf::to_dos_time(info.mtime));
    file.attributes = file.stream.attributes();
    if (file.stream.error()) file.attributes = pf::attr::kArchive;
    return file;
}

}  // namespace rk::files
