// Hexadecimal text and MD5 digests: the update's file checks and query
// checksum, and the machine identifier.
#pragma once

#include <QByteArray>
#include <QString>

namespace QVAdditions {

// Two lower-case hex digits per byte, in order; empty data gives "".
QString hexRepresentation(const QByteArray &data);

// MD5 of the string's UTF-8 bytes (16 bytes); an empty string gives null.
QByteArray md5DataForString(const QString &string);

// The 16 bytes of a digest as 32 hex digits; a null pointer gives a null
// string.
QString hexHash(const unsigned char *digest);

// MD5 of the MD5 of the string's UTF-8 bytes, as 32 hex digits; an empty
// string gives a null string.
QString hexHashToHashForString(const QString &string);

// The first 16 bytes of a digest as 32 hex digits; a null string when the
// data is shorter than a digest.
QString hexHashString(const QByteArray &digest);

}  // namespace QVAdditions
