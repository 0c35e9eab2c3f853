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

namespace {

wire::bytes encode_answers(const std::vector<std::optional<record_type>>& answers,
                           bool duplicate_ids) {
    wire::bytes body;
    for (const auto& record : answers) {
        if (!record) {
            wire::put_number(body, 0);
            continue;
        }
        wire::put_number(body, record->data.size());
        wire::put_number(body, duplicate_ids ? 7 : record->id);
        for (const auto value :
             {record->extra, record->flags, record->reports, record->revokes, record->touches})
            wire::put_number(body, value);
    }
    return body;
}

}  // namespace

wire::bytes encode(reply_type reply, const faults_type& applied) {
    if (reply.answers) {
        if (applied.answer_missing && !reply.answers->empty()) reply.answers->pop_back();
        reply.body = encode_answers(*reply.answers, applied.duplicate_ids);
    }
    if (applied.oversized_lengths && reply.header.status == 0) {
        // Lengths that never end: of a probe's name, of a lookup's answer.
        if (reply.header.type == 0) {
            reply.body.clear();
            wire::put_number(reply.body, std::uint64_t{1} << 62);
            reply.body += "stand-in";
        } else if (reply.answers) {
            reply.body.clear();
            wire::put_number(reply.body, std::uint64_t{1} << 62);
            wire::put_number(reply.body, std::uint64_t{1} << 62);
        }
    }
    if (!reply.key.empty()) wire::rc4_drop(reply.key, reply.body);

    auto& header = reply.header;
    if (applied.wrong_id) header.id[0] = static_cast<char>(header.id[0] ^ 0x5A);
    if (applied.attempt) header.attempt = *applied.attempt;
    if (applied.flip_encrypted) header.encrypted = !header.encrypted;
    if (applied.status) header.status = *applied.status;
    if (applied.type) header.type = *applied.type;
    if (applied.clear_response) header.response = false;
    if (applied.garble)
        for (auto& c : reply.body) c = static_cast<char>(~c);
    wire::bytes out = wire::build_header(header) + reply.body;
    if (applied.truncate && *applied.truncate < out.size()) out.resize(*applied.truncate);
    return out;
}

}  // namespace quorvane::standins::classification_server
