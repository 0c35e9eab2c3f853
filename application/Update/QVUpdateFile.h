// Who hears the answer to an update query.
#pragma once

#include "QVUpdateProtocol.h"

#include <QMetaType>

class QVUpdateDelegate {
public:
    virtual ~QVUpdateDelegate() = default;
    // `error` is empty when the query failed without a transfer error.
    virtual void updateDidFinishWithResult(bool result, const QString &description, const QUrl &url,
                                           const QList<QVUpdateFile> &files, const QString &error) = 0;
};

namespace QVUpdateLimits {

// The whole query, and each download, end by these deadlines however
// slowly the service keeps sending (milliseconds; tests shorten them).
int queryDeadline();
int downloadDeadline();
void setDeadlinesForTesting(int query, int download);

}  // namespace QVUpdateLimits
