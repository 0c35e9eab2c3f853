#pragma once

#include <string>

namespace quorvane::callgate {

struct dir_monitor_event {
    // An event names the directory, never the entry that changed. lost: the
    // directory is watched no more (removed, moved away or unmounted).
    enum event_type { null = 0, lost = 1, modified = 3 };

    std::string dirname;
    std::string filename;
    event_type type = null;
};

}  // namespace quorvane::callgate
