#include "Contact.h"

#include "Cp1252.h"

#include <QStringDecoder>

namespace contacttext {

QString Decode(const QByteArray& bytes)
{
    QStringDecoder utf8(QStringDecoder::Utf8, QStringDecoder::Flag::Stateless);
    QString text = utf8.decode(bytes);
    return utf8.hasError() ? cp1252::Decode(bytes) : text;
}

QString Decode(const QByteArray& bytes, const QByteArray& charset)
{
    const QByteArray name = charset.trimmed().toLower();
    if (name.isEmpty() || name == "utf-8" || name == "utf8")
        return Decode(bytes);
    if (name == "windows-1252" || name == "cp1252" || name == "iso-8859-1" || name == "latin1" ||
        name == "us-ascii" || name == "ascii")
        return cp1252::Decode(bytes);
    QStringDecoder decoder(name.constData(), QStringDecoder::Flag::Stateless);
    if (!decoder.isValid())
        return Decode(bytes);
    return decoder.decode(bytes);
}

QByteArray WithoutByteOrderMark(const QByteArray& bytes)
{
    if (bytes.startsWith("\xEF\xBB\xBF"))
        return bytes.mid(3);
    if (bytes.startsWith("\xFF\xFE") || bytes.startsWith("\xFE\xFF")) {
        QStringDecoder utf16(bytes.startsWith("\xFF\xFE") ? QStringDecoder::Utf16LE : QStringDecoder::Utf16BE);
        return QString(utf16.decode(bytes.mid(2))).toUtf8();
    }
    return bytes;
}

} // namespace contacttext
