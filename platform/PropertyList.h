// XML property lists, the format the lists are stored in: the Foundation
// value types map to QVariant (array -> QVariantList, dict -> QVariantMap,
// string -> QString, integer -> qint64, real -> double, true/false -> bool,
// data -> QByteArray, date -> QDateTime).
#pragma once

#include <QByteArray>
#include <QByteArrayView>
#include <QString>
#include <QVariant>

#include <optional>

namespace PropertyList {

// Parses an XML property list. Anything malformed, nested deeper than
// maxDepth or holding an unknown element gives nullopt and, when asked, the
// reason in *error.
std::optional<QVariant> fromXml(QByteArrayView xml, QString *error = nullptr);

// Writes the document the way the original platform's writer lays it out:
// the XML declaration, the DOCTYPE, one element per line, tab indentation.
// Gives nullopt for a value it cannot store: a type other than array
// (QVariantList or QStringList), dictionary, string, integer, real or
// boolean, or text holding characters that XML cannot carry.
std::optional<QByteArray> toXml(const QVariant &value);

inline constexpr int maxDepth = 128;

}  // namespace PropertyList
