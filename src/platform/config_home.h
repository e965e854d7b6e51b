// Where the user's own configuration lives: $XDG_CONFIG_HOME, else
// $HOME/.config. Safe to call from any thread.
#pragma once

#include <optional>
#include <string>

#include "platform/env.h"

namespace rk::platform {

// The configuration folder from the two variables' values: XDG_CONFIG_HOME
// when it is an absolute path, else HOME/.config, else none.
std::optional<std::string> config_home_from(const std::optional<std::string>& xdg_config_home,
                                            const std::optional<std::string>& home);
std::optional<std::string> config_home(Env& env);

}  // namespace rk::platform
