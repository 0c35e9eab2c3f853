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
    const auto found = entries.find(messageID);
    if (found == entries.end())
        return {};
    std::vector<Entry> &list = found.value();
    // Entries that can no longer be answered go first.
    const auto before = list.size();
    std::erase_if(list, [&waiting](const Entry &entry) {
        const QVObjC::id message = entry.message.lock();
        return !message || !waiting(message);
    });
    count_ -= qsizetype(before - list.size());

    Answer answer;
    if (!list.empty()) {
        const Entry first = list.front();
        list.erase(list.begin());
        --count_;
        answer.message = first.message.lock();
        answer.fingerprint = first.fingerprint;
        const bool differs = std::any_of(list.begin(), list.end(), [&](const Entry &other) {
            return other.message.lock() != answer.message && other.fingerprint != first.fingerprint;
        });
        answer.outcome = differs ? Outcome::Ambiguous : Outcome::Found;
        if (differs)
            answer.message.reset();
    }
    if (list.empty())
        entries.erase(found);
    return answer;
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
