// A contact as address books export it: a name and its telephone numbers,
// as written there.
#pragma once

#include <QByteArray>
#include <QString>
#include <QStringList>

struct Contact
{
    QString name;
    QStringList numbers;
    bool operator==(const Contact&) const = default;
};

namespace contacttext {

// Text of an address book's bytes: UTF-8 when they are valid UTF-8, else
// Windows-1252, which is what such files hold when they are not UTF-8.
QString Decode(const QByteArray& bytes);
// Decode by the named character set (vCard 2.1's CHARSET), falling back to
// the guess above for a name Qt does not know.
QString Decode(const QByteArray& bytes, const QByteArray& charset);
// A file's bytes as UTF-8 when it starts with a UTF-16 byte-order mark, and
// without a UTF-8 one.
QByteArray WithoutByteOrderMark(const QByteArray& bytes);

} // namespace contacttext
