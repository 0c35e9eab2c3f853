// The messages that wait for an answer of the application. An answer names
// only a Message-ID, which anybody can copy into a message of theirs, so it
// is matched against what this plug-in posted, never looked up in the whole
// library: a message that was never submitted (a read one, one in another
// folder) cannot be moved by an answer, and of two waiting messages that
// share a Message-ID but differ, neither is moved.
#pragma once

#include "QVObjectRuntime.h"

#include <QByteArray>
#include <QHash>
#include <QString>

#include <functional>
#include <vector>

class QVPendingAnswers final {
public:
    enum class Kind { Verdict, Block, Unblock };

    // Waiting entries beyond this are dropped, those that can no longer be
    // answered first, then the oldest.
    explicit QVPendingAnswers(qsizetype limit = 100'000) : limit_(limit) {}

    // `fingerprint` tells copies of one message from different messages.
    void add(Kind kind, const QString &messageID, const QVObjC::id &message, const QByteArray &fingerprint);

    enum class Outcome { Found, None, Ambiguous };
    struct Answer {
        Outcome outcome = Outcome::None;
        std::vector<QVObjC::id> messages;  // with their fingerprints
        std::vector<QByteArray> fingerprints;
    };
    // The messages an answer of this kind is for, taken off the list: the
    // earliest entry whose message still exists and `waiting` accepts, when
    // the others are copies of it. When different messages wait under the
    // Message-ID, the answer is kept (Ambiguous) until every post of theirs
    // has been answered (then all of them are found); one of them leaving
    // forgets the kept answers.
    Answer take(Kind kind, const QString &messageID, const std::function<bool(const QVObjC::id &)> &waiting);
    // The message was posted once more under its entry.
    void reposted(Kind kind, const QString &messageID, const QVObjC::id &message);

    qsizetype size() const { return count_; }

    // The number given to the latest entry; entries added later get higher
    // ones.
    quint64 lastSequence() const { return sequence_; }
    // The live messages of entries of this kind added after `sequence`, in
    // the order they were added, with their Message-IDs.
    std::vector<std::pair<QString, QVObjC::id>> addedAfter(Kind kind, quint64 sequence) const;
    // The live messages waiting under this Message-ID.
    std::vector<QVObjC::id> messages(Kind kind, const QString &messageID) const;

private:
    struct Entry {
        QVObjC::weak_id message;
        QByteArray fingerprint;
        quint64 sequence;
        int posts = 1;
    };
    using Table = QHash<QString, std::vector<Entry>>;

    Table &table(Kind kind) { return tables_[int(kind)]; }
    const Table &table(Kind kind) const { return tables_[int(kind)]; }
    void trim();

    Table tables_[3];
    QHash<QString, int> keptAnswers_[3];  // by Message-ID, while ambiguous
    qsizetype limit_;
    qsizetype count_ = 0;
    quint64 sequence_ = 0;
};
