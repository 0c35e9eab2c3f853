// Which faults apply to a message, and how they disfigure the sound reply
// the protocol made for it. The protocol's side knows nothing of faults.
#pragma once

#include <random>

#include "classification_server.hpp"
#include "wire.hpp"

namespace quorvane::standins::classification_server {

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
wire::bytes encode(wire::reply_type reply, const faults_type& applied);

}  // namespace quorvane::standins::classification_server
