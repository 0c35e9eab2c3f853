#pragma once

#include <string>

namespace quorvane::callgate {

struct dir_monitor_event {
    // Only modified is produced: an event names the directory, never the
    // entry that changed.
    enum event_type { null = 0, modified = 3 };

    std::string dirname;
    std::string filename;
    event_type type = null;
};

}  // namespace quorvane::callgate
