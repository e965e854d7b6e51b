#include "platform/config_home.h"

#include "platform/host_path.h"

namespace rk::platform {

std::optional<std::string> config_home_from(const std::optional<std::string>& xdg_config_home,
                                            const std::optional<std::string>& home) {
    // A relative value would depend on the folder the server was started
    // from; the convention is to ignore it.
    if (xdg_config_home && !xdg_config_home->empty() && xdg_config_home->front() == '/') {
        return *xdg_config_home;
    }
    if (home && !home->empty() && home->front() == '/') return join_path(*home, ".config");
    return std::nullopt;
}

std::optional<std::string> config_home(Env& env) {
    return config_home_from(env.get_env("XDG_CONFIG_HOME"), env.get_env("HOME"));
}

}  // namespace rk::platform
