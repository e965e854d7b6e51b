#include "files/download.h"

#include "files/last_write.h"
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
    file.size = file.stream.size64();
    if (const auto ec = file.stream.error()) return {.status = pf::IoStatus::from_error(ec, *path)};
    std::error_code ec;
    file.attributes = env.attributes(*path, ec);
    if (ec) file.attributes = pf::attr::kArchive;
    const auto written = last_write(env, *path);
    file.dos_date =
        written ? std::int32_t(pf::to_dos_time(*written)) : std::int32_t(pf::kMissingDosTime);
    return file;
}

}  // namespace rk::files
