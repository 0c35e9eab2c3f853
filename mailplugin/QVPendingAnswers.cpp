#include "QVPendingAnswers.h"

#include <algorithm>

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
