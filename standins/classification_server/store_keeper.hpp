// Keeps a learning store on disk: a journal line for every record a report
// or revoke changed, synced before the report is answered, and the whole
// store rewritten now and then on a thread of its own, as a stream, a few
// thousand records at a time under the store's lock, so lookups are never
// held up for long.
//
// The rewrite is not a snapshot: records change while it runs. So the
// journal is set aside when a rewrite starts and dropped only when the new
// store is in place; its lines carry whole records and are merged by their
// larger counts, so a line the new store already holds counts once.
#pragma once

#include <chrono>
#include <condition_variable>
#include <cstddef>
#include <cstdint>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "classification_server.hpp"
#include "store.hpp"

namespace quorvane::standins::classification_server {

class store_keeper {
public:
    // Reads the store and any journal into the store (throws when either
    // cannot be read) and starts the writer. The store is guarded by
    // `mutex`, which the keeper takes while it walks the store.
    store_keeper(std::string path, learning_store& store, std::mutex& mutex);
    // Writes what changed last, then stops.
    ~store_keeper();
    store_keeper(const store_keeper&) = delete;
    store_keeper& operator=(const store_keeper&) = delete;

    // Appends the records to the journal and syncs it; false when that
    // failed (said once on standard error until it works again), and from
    // then on until a rewrite has taken in what went unjournaled.
    bool journal(const std::vector<record_type>& changed);
    // Asks for a rewrite soon (the records changed).
    void poke();

private:
    void run();
    void rewrite();  // throws on failure
    bool open_journal();

    std::string path_, journal_path_, old_journal_path_;
    learning_store& store_;
    std::mutex& store_mutex_;

    std::mutex journal_mutex_;  // after the store's mutex, never before
    int journal_ = -1;
    std::size_t journal_bytes_ = 0;
    bool journal_failing_ = false;
    std::uint64_t failures_ = 0;  // journal writes that failed
    std::uint64_t covered_ = 0;   // of them, those a finished rewrite took in

    std::mutex mutex_;  // guards what follows
    std::condition_variable wake_;
    bool poked_ = false;
    bool stopping_ = false;
    std::thread thread_;
};

}  // namespace quorvane::standins::classification_server
