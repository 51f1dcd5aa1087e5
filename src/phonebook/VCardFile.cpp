#include "VCardFile.h"

#include <QByteArrayList>

namespace {

struct Property
{
    QByteArray name; // upper case, without its group
    bool quotedPrintable = false;
    QByteArray charset;
    QByteArray value; // raw, still encoded and escaped
};

// The name and parameters end at the first colon outside double quotes.
bool SplitProperty(const QByteArray& line, Property* property)
{
    bool quoted = false;
    qsizetype colon = -1;
    for (qsizetype i = 0; i < line.size(); ++i) {
        if (line[i] == '"')
            quoted = !quoted;
        else if (line[i] == ':' && !quoted) {
            colon = i;
            break;
        }
    }
    if (colon < 0)
        return false;
    QByteArrayList parts;
    QByteArray part;
    quoted = false;
    for (char c : line.left(colon)) {
        if (c == '"')
            quoted = !quoted;
        if (c == ';' && !quoted) {
            parts << part;
            part.clear();
        } else {
            part += c;
        }
    }
    parts << part;
    QByteArray name = parts.takeFirst().trimmed().toUpper();
    if (const qsizetype dot = name.lastIndexOf('.'); dot >= 0)
        name = name.mid(dot + 1); // item1.TEL
    property->name = name;
    for (const QByteArray& parameter : parts) {
        const qsizetype eq = parameter.indexOf('=');
        const QByteArray key = (eq < 0 ? parameter : parameter.left(eq)).trimmed().toUpper();
        QByteArray value = eq < 0 ? QByteArray() : parameter.mid(eq + 1).trimmed();
        if (value.startsWith('"') && value.endsWith('"') && value.size() >= 2)
            value = value.mid(1, value.size() - 2);
        // 2.1 allows the value alone: TEL;HOME;QUOTED-PRINTABLE:...
        if ((key == "ENCODING" && value.toUpper() == "QUOTED-PRINTABLE") || key == "QUOTED-PRINTABLE")
            property->quotedPrintable = true;
        else if (key == "CHARSET")
            property->charset = value;
    }
    property->value = line.mid(colon + 1);
    return true;
}

int HexValue(char c)
{
    if (c >= '0' && c <= '9')
        return c - '0';
    if (c >= 'A' && c <= 'F')
        return c - 'A' + 10;
    if (c >= 'a' && c <= 'f')
        return c - 'a' + 10;
    return -1;
}

QByteArray DecodeQuotedPrintable(const QByteArray& text)
{
    QByteArray bytes;
    bytes.reserve(text.size());
    for (qsizetype i = 0; i < text.size(); ++i) {
        if (text[i] == '=' && i + 2 < text.size() && HexValue(text[i + 1]) >= 0 && HexValue(text[i + 2]) >= 0) {
            bytes += char(HexValue(text[i + 1]) * 16 + HexValue(text[i + 2]));
            i += 2;
        } else {
            bytes += text[i];
        }
    }
    return bytes;
}

// Backslash escapes of a text value: \n, \, \; and \\.
QString Unescape(const QString& text)
{
    QString out;
    out.reserve(text.size());
    for (qsizetype i = 0; i < text.size(); ++i) {
        if (text[i] == u'\\' && i + 1 < text.size()) {
            const QChar next = text[++i];
            out += (next == u'n' || next == u'N') ? QChar(u'\n') : next;
        } else {
            out += text[i];
        }
    }
    return out;
}

// The components of a structured value, split at semicolons no backslash
// escapes.
QStringList SplitComponents(const QString& text)
{
    QStringList components;
    QString current;
    for (qsizetype i = 0; i < text.size(); ++i) {
        if (text[i] == u'\\' && i + 1 < text.size()) {
            current += text[i];
            current += text[++i];
        } else if (text[i] == u';') {
            components << Unescape(current);
            current.clear();
        } else {
            current += text[i];
        }
    }
    components << Unescape(current);
    return components;
}

QString ValueText(const Property& property)
{
    const QByteArray bytes =
        property.quotedPrintable ? DecodeQuotedPrintable(property.value) : property.value;
    return contacttext::Decode(bytes, property.charset);
}

// N: family; given; additional; prefixes; suffixes, shown in reading order.
QString NameFromParts(const QStringList& parts)
{
    QStringList shown;
    for (int i : {3, 1, 2, 0, 4}) {
        const QString part = parts.value(i).simplified();
        if (!part.isEmpty())
            shown << part;
    }
    return shown.join(u' ');
}

// A physical line may continue the one before: a leading blank or tab
// (folding), or a quoted-printable value that ended in a soft break "=".
QByteArrayList LogicalLines(const QByteArray& bytes)
{
    QByteArrayList lines;
    bool keepBlank = false; // 2.1 keeps the blank of a fold in the value
    bool softBreak = false;
    for (QByteArray line : bytes.split('\n')) {
        if (line.endsWith('\r'))
            line.chop(1);
        if (!lines.isEmpty() && softBreak) {
            lines.last().chop(1);
            lines.last() += line;
        } else if (!lines.isEmpty() && (line.startsWith(' ') || line.startsWith('\t'))) {
            lines.last() += keepBlank ? line : line.mid(1);
        } else {
            lines << line;
            const QByteArray upper = line.trimmed().toUpper();
            if (upper == "BEGIN:VCARD")
                keepBlank = false;
            else if (upper == "VERSION:2.1")
                keepBlank = true;
        }
        const QByteArray& last = lines.last();
        const qsizetype colon = last.indexOf(':');
        softBreak = last.endsWith('=') && colon > 0 && last.left(colon).toUpper().contains("QUOTED-PRINTABLE");
    }
    return lines;
}

void AppendFolded(QByteArray* out, const QByteArray& line)
{
    // At most 75 octets a line, never inside a UTF-8 sequence.
    qsizetype start = 0;
    qsizetype limit = 75;
    while (line.size() - start > limit) {
        qsizetype cut = start + limit;
        while (cut > start && (uchar(line[cut]) & 0xC0) == 0x80)
            --cut;
        *out += line.mid(start, cut - start);
        *out += "\r\n ";
        start = cut;
        limit = 74; // the blank that starts the next line counts
    }
    *out += line.mid(start);
    *out += "\r\n";
}

QByteArray EscapeText(const QString& text)
{
    QString escaped;
    for (QChar ch : text) {
        if (ch == u'\\' || ch == u',' || ch == u';')
            escaped += u'\\';
        if (ch == u'\n')
            escaped += QStringLiteral("\\n");
        else if (ch != u'\r')
            escaped += ch;
    }
    return escaped.toUtf8();
}

} // namespace

QList<Contact> CVCardFile::Read(const QByteArray& bytes, bool* isVCard)
{
    QList<Contact> contacts;
    bool found = false;
    int depth = 0; // a 2.1 AGENT may hold a card of its own
    QString fn, n;
    QStringList numbers;
    for (const QByteArray& line : LogicalLines(contacttext::WithoutByteOrderMark(bytes))) {
        Property property;
        if (!SplitProperty(line, &property))
            continue;
        const QByteArray value = property.value.trimmed().toUpper();
        if (property.name == "BEGIN" && value == "VCARD") {
            if (depth++ == 0) {
                found = true;
                fn.clear();
                n.clear();
                numbers.clear();
            }
            continue;
        }
        if (property.name == "END" && value == "VCARD") {
            if (depth > 0 && --depth == 0)
                contacts.append({fn.simplified().isEmpty() ? n : fn.simplified(), numbers});
            continue;
        }
        if (depth != 1)
            continue;
        if (property.name == "FN") {
            fn = Unescape(ValueText(property));
        } else if (property.name == "N") {
            n = NameFromParts(SplitComponents(ValueText(property)));
        } else if (property.name == "TEL") {
            QString number = ValueText(property).trimmed();
            if (number.startsWith(QLatin1String("tel:"), Qt::CaseInsensitive))
                number = number.mid(4);
            if (!number.isEmpty())
                numbers << number;
        }
    }
    if (isVCard)
        *isVCard = found;
    return contacts;
}

QByteArray CVCardFile::Write(const QList<PhoneBookRecord>& records, const CNumberMatcher& matcher, int* written)
{
    QByteArray out;
    int count = 0;
    for (const PhoneBookRecord& record : records) {
        if (record.number.trimmed().isEmpty())
            continue;
        ++count;
        out += "BEGIN:VCARD\r\nVERSION:4.0\r\n";
        AppendFolded(&out, "FN:" + EscapeText(record.name));
        const QString e164 = matcher.ValidE164(record.number);
        if (!e164.isEmpty())
            AppendFolded(&out, "TEL;VALUE=uri:tel:" + e164.toLatin1());
        else
            AppendFolded(&out, "TEL;VALUE=text:" + EscapeText(record.number));
        out += "END:VCARD\r\n";
    }
    if (written)
        *written = count;
    return out;
}
