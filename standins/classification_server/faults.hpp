// Which faults apply to a message, and how they disfigure the sound reply
// the protocol made for it. The protocol's side knows nothing of faults.
#pragma once

#include <optional>
#include <random>
#include <vector>

#include "classification_server.hpp"
#include "wire.hpp"

namespace quorvane::standins::classification_server {

// A sound reply before it is encoded: lookup answers stay apart from the body
// until the end, so faults can bend them.
struct reply_type {
    wire::frame_header header;
    wire::bytes body;
    std::optional<std::vector<std::optional<record_type>>> answers;  // a lookup's, in order
    wire::bytes key;  // not empty: the body leaves enciphered with it
};

class fault_plan {
public:
    // Takes new faults; the count of dropped messages starts again.
    void set(const faults_type& faults);
    const faults_type& current() const { return faults_; }
    // The faults that apply to the next message received. `drop_all` set in
    // them means it is not answered.
    faults_type next();

private:
    faults_type faults_;
    unsigned dropped_ = 0;
    std::minstd_rand random_;
};

// The reply's bytes as the applied faults make them.
wire::bytes encode(reply_type reply, const faults_type& applied);

}  // namespace quorvane::standins::classification_server
