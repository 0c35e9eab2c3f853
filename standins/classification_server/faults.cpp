#include "faults.hpp"

#include <utility>

namespace quorvane::standins::classification_server {

void fault_plan::set(const faults_type& faults) {
    faults_ = faults;
    dropped_ = 0;
    if (faults.chaos_seed) random_.seed(*faults.chaos_seed);
}

faults_type fault_plan::next() {
    faults_type applied = faults_;
    if (faults_.chaos_seed) {
        switch (random_() % 8) {
        case 0:
            applied.drop_all = true;
            break;
        case 1:
            applied.reply_twice = true;
            break;
        case 2:
            applied.attempt = static_cast<std::uint8_t>(random_() % 4);
            break;
        case 3:
            applied.garble = true;
            break;
        case 4:
            applied.delay = std::chrono::milliseconds(random_() % 20);
            break;
        case 5:
            applied.status = static_cast<std::uint8_t>(random_() % 8);
            break;
        default:
            break;
        }
    }
    if (!applied.drop_all && dropped_ < faults_.drop_first) {
        ++dropped_;
        applied.drop_all = true;
    }
    return applied;
}

wire::bytes encode(wire::reply_type reply, const faults_type& applied) {
    const bool lookup = reply.answers.has_value();
    if (lookup) {
        if (applied.answer_missing && !reply.answers->empty()) reply.answers->pop_back();
        if (applied.duplicate_ids)
            for (auto& answer : *reply.answers)
                if (answer) answer->id = 7;
        reply.body = wire::encode_answers(*reply.answers);
        reply.answers.reset();
    }
    if (applied.oversized_lengths && reply.header.status == 0) {
        // Lengths that never end: of a probe's name, of a lookup's answer.
        if (reply.header.type == 0) {
            reply.body.clear();
            wire::put_number(reply.body, std::uint64_t{1} << 62);
            reply.body += "stand-in";
        } else if (lookup) {
            reply.body.clear();
            wire::put_number(reply.body, std::uint64_t{1} << 62);
            wire::put_number(reply.body, std::uint64_t{1} << 62);
        }
    }
    auto& header = reply.header;
    if (applied.wrong_id) header.id[0] = static_cast<char>(header.id[0] ^ 0x5A);
    if (applied.attempt) header.attempt = *applied.attempt;
    if (applied.flip_encrypted) header.encrypted = !header.encrypted;
    if (applied.status) header.status = *applied.status;
    if (applied.type) header.type = *applied.type;
    if (applied.clear_response) header.response = false;
    wire::bytes out = wire::encode(reply);
    if (applied.garble)
        for (std::size_t k = wire::header_length; k < out.size(); ++k)
            out[k] = static_cast<char>(~out[k]);
    if (applied.truncate && *applied.truncate < out.size()) out.resize(*applied.truncate);
    return out;
}

}  // namespace quorvane::standins::classification_server
