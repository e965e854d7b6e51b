#include "platform/names.h"

#include <algorithm>

#include "platform/host_path.h"

namespace rk::platform {

bool equal_ignoring_ascii_case(std::string_view a, std::string_view b) {
    return a.size() == b.size() &&
           std::equal(a.begin(), a.end(), b.begin(),
                      [](char x, char y) { return ascii_lower(x) == ascii_lower(y); });
}

EntryLookup find_entry_ignoring_case(Env& env, const std::string& folder, std::string_view name) {
    EntryLookup lookup;
    lookup.exact = env.stat(join_path(folder, name), lookup.stat_error);
    if (lookup.stat_error) {
        lookup.exact = {};
        return lookup;
    }
    if (lookup.exact.type != EntryType::none) {
        lookup.entry = DirEntry{std::string(name), lookup.exact.type};
        return lookup;
    }
    for (DirEntry& entry : env.list(folder, lookup.list_error)) {
        if (equal_ignoring_ascii_case(entry.name, name)) {
            lookup.entry = std::move(entry);
            break;
        }
    }
    if (lookup.list_error) lookup.entry.reset();
    return lookup;
}

}  // namespace rk::platform
