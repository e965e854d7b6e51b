#include "shell/companion.h"

namespace rk::shell {

bool Companion::announce(int pid) {
    auto process = platform::ProcessHandle::open(pid);
    if (pid != 0 && !process) return false;  // a mistyped id keeps the companion known
    std::lock_guard lock(mutex_);
    process_ = std::move(process);
    return true;
}

bool Companion::announced() const {
    std::lock_guard lock(mutex_);
    return process_.has_value();
}

void Companion::end() {
    std::lock_guard lock(mutex_);
    if (process_) process_->terminate();  // one that has ended already is no matter
    process_.reset();
}

}  // namespace rk::shell
