// The store file: the learned records as text, one a line,
//
//   qv-classification-server store 3
//   category id extra flags reports revokes touches lookups hex-data
//   ...
//   end COUNT
//
// with an end line that counts the records, so a file cut short is refused
// and not read as a smaller store. Versions 1 (no lookups column) and 2 (no
// end line) are still read. The journal beside it ("<store>.journal") holds
// record lines of the same form, one for each record a report or revoke
// changed, written before the report is answered.
#pragma once

#include <cstddef>
#include <istream>
#include <string>
#include <vector>

#include "classification_server.hpp"

namespace quorvane::standins::classification_server {

// The records of a store file's text; throws std::runtime_error, naming the
// path, when it is not a whole store.
std::vector<record_type> parse_store(std::istream& in, const std::string& path);
// The records of a journal's text: a last line cut short (by a crash while
// it was written, before its report was answered) is left out; any other
// bad line makes it throw.
std::vector<record_type> parse_journal(std::istream& in, const std::string& path);

// One record as a line of either file, with its line feed.
void append_record_line(std::string& out, const record_type& record);

// Writes a store file as a stream: records go to a temporary file of a name
// of its own beside the store, which replaces the store (and is synced with
// its folder) only when finished. Dropped unfinished, it leaves the store
// as it was.
class store_stream {
public:
    explicit store_stream(std::string path);  // throws when it cannot begin
    ~store_stream();
    store_stream(const store_stream&) = delete;
    store_stream& operator=(const store_stream&) = delete;

    // Adds the record's line (a record that counts nothing is left out).
    void add(const record_type& record);
    // Writes out what was added; throws on a write error.
    void flush();
    void finish();  // throws on failure

private:
    std::string path_, temporary_;
    int file_ = -1;
    std::string buffer_;
    std::size_t count_ = 0;
};

// Syncs the folder that holds the path, so a rename in it lasts.
void sync_folder_of(const std::string& path);

}  // namespace quorvane::standins::classification_server
