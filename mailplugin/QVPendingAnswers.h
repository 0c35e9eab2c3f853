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
        QVObjC::id message;
    };
    // The message an answer of this kind is for, taken off the list: the
    // earliest entry whose message still exists and `waiting` accepts.
    // Ambiguous (and the earliest entry taken off) when another such entry
    // holds a different message.
    Answer take(Kind kind, const QString &messageID, const std::function<bool(const QVObjC::id &)> &waiting);

    qsizetype size() const { return count_; }

private:
    struct Entry {
        QVObjC::weak_id message;
        QByteArray fingerprint;
        quint64 sequence;
    };
    using Table = QHash<QString, std::vector<Entry>>;

    Table &table(Kind kind) { return tables_[int(kind)]; }
    void trim();

    Table tables_[3];
    qsizetype limit_;
    qsizetype count_ = 0;
    quint64 sequence_ = 0;
};
