#include "QVPendingAnswers.h"

#include <algorithm>
#include <tuple>

void QVPendingAnswers::add(Kind kind, const QString &messageID, const QVObjC::id &message,
                           const QByteArray &fingerprint)
{
    if (messageID.isEmpty() || !message)
        return;
    table(kind)[messageID].push_back({message, fingerprint, ++sequence_});
    if (++count_ > limit_)
        trim();
}

QVPendingAnswers::Answer QVPendingAnswers::take(Kind kind, const QString &messageID,
                                                const std::function<bool(const QVObjC::id &)> &waiting)
{
    Table &entries = table(kind);
    QHash<QString, int> &kept = keptAnswers_[int(kind)];
    const auto found = entries.find(messageID);
    if (found == entries.end())
        return {};
    std::vector<Entry> &list = found.value();
    // Entries that can no longer be answered go first; answers kept for
    // a set of different messages no longer say which of them were spam.
    const auto before = list.size();
    std::erase_if(list, [&waiting](const Entry &entry) {
        const QVObjC::id message = entry.message.lock();
        return !message || !waiting(message);
    });
    if (list.size() != before)
        kept.remove(messageID);
    count_ -= qsizetype(before - list.size());

    Answer answer;
    if (list.empty()) {
        entries.erase(found);
        kept.remove(messageID);
        return answer;
    }
    const Entry &first = list.front();
    const QVObjC::id firstMessage = first.message.lock();
    const bool differs = std::any_of(list.begin() + 1, list.end(), [&](const Entry &other) {
        return other.message.lock() != firstMessage && other.fingerprint != first.fingerprint;
    });
    if (!differs) {
        answer.outcome = Outcome::Found;
        answer.messages.push_back(firstMessage);
        answer.fingerprints.push_back(first.fingerprint);
        list.erase(list.begin());
        --count_;
    } else {
        // Every post of every one answered: all of them are spam.
        int posts = 0;
        for (const Entry &entry : list)
            posts += entry.posts;
        if (++kept[messageID] < posts) {
            answer.outcome = Outcome::Ambiguous;
            return answer;
        }
        answer.outcome = Outcome::Found;
        for (const Entry &entry : list) {
            const QVObjC::id message = entry.message.lock();
            if (std::find(answer.messages.begin(), answer.messages.end(), message) != answer.messages.end())
                continue;
            answer.messages.push_back(message);
            answer.fingerprints.push_back(entry.fingerprint);
        }
        count_ -= qsizetype(list.size());
        list.clear();
    }
    if (list.empty()) {
        entries.erase(found);
        kept.remove(messageID);
    }
    return answer;
}

void QVPendingAnswers::reposted(Kind kind, const QString &messageID, const QVObjC::id &message)
{
    const auto found = table(kind).find(messageID);
    if (found == table(kind).end())
        return;
    for (Entry &entry : *found) {
        if (entry.message.lock() == message)
            ++entry.posts;
    }
}

std::vector<std::pair<QString, QVObjC::id>> QVPendingAnswers::addedAfter(Kind kind, quint64 sequence) const
{
    std::vector<std::tuple<quint64, QString, QVObjC::id>> found;
    const Table &entries = table(kind);
    for (auto it = entries.cbegin(); it != entries.cend(); ++it) {
        for (const Entry &entry : it.value()) {
            if (entry.sequence <= sequence)
                continue;
            if (QVObjC::id message = entry.message.lock())
                found.emplace_back(entry.sequence, it.key(), std::move(message));
        }
    }
    std::sort(found.begin(), found.end(), [](const auto &a, const auto &b) { return std::get<0>(a) < std::get<0>(b); });
    std::vector<std::pair<QString, QVObjC::id>> result;
    result.reserve(found.size());
    for (auto &[sequence, messageID, message] : found)
        result.emplace_back(std::move(messageID), std::move(message));
    return result;
}

std::vector<QVObjC::id> QVPendingAnswers::messages(Kind kind, const QString &messageID) const
{
    std::vector<QVObjC::id> result;
    const auto found = table(kind).constFind(messageID);
    if (found == table(kind).cend())
        return result;
    for (const Entry &entry : found.value()) {
        if (QVObjC::id message = entry.message.lock())
            result.push_back(std::move(message));
    }
    return result;
}

void QVPendingAnswers::trim()
{
    // Messages that are gone first.
    for (Table &entries : tables_) {
        for (auto it = entries.begin(); it != entries.end();) {
            const auto before = it->size();
            std::erase_if(*it, [](const Entry &entry) { return entry.message.expired(); });
            count_ -= qsizetype(before - it->size());
            it = it->empty() ? entries.erase(it) : std::next(it);
        }
    }
    // Answers kept for different messages under one Message-ID may have
    // lost their messages: forgotten (this is rare).
    for (auto &kept : keptAnswers_)
        kept.clear();
    // Then the oldest, down to three quarters so that this stays rare.
    const qsizetype keep = limit_ - limit_ / 4;
    if (count_ <= keep)
        return;
    std::vector<quint64> sequences;
    sequences.reserve(size_t(count_));
    for (const Table &entries : tables_) {
        for (const auto &list : entries) {
            for (const Entry &entry : list)
                sequences.push_back(entry.sequence);
        }
    }
    const auto cut = sequences.begin() + (qsizetype(sequences.size()) - keep);
    std::nth_element(sequences.begin(), cut, sequences.end());
    const quint64 oldestKept = *cut;
    for (Table &entries : tables_) {
        for (auto it = entries.begin(); it != entries.end();) {
            const auto before = it->size();
            std::erase_if(*it, [oldestKept](const Entry &entry) { return entry.sequence < oldestKept; });
            count_ -= qsizetype(before - it->size());
            it = it->empty() ? entries.erase(it) : std::next(it);
        }
    }
}
