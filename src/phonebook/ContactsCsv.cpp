#include "ContactsCsv.h"

namespace {

QChar Delimiter(const QString& text)
{
    const QString first = text.left(text.indexOf(u'\n'));
    return first.count(u';') > first.count(u',') ? QChar(u';') : QChar(u',');
}

enum class Role { None, FullName, First, Middle, Last, Prefix, Suffix, Phone };

// A column by its heading. Google writes "Phone 1 - Value" beside "Phone 1
// - Type" (or "- Label"); Outlook and Thunderbird a column per kind:
// "Mobile Phone", "Home Phone", "Business Fax", "Work Phone", "Mobile
// Number"; a Dutch Outlook "Mobiele telefoon", "Telefoon thuis".
Role RoleOf(const QString& heading)
{
    const QString h = heading.trimmed().toLower();
    if (h == u"name" || h == u"display name" || h == u"full name" || h == u"weergavenaam" || h == u"naam" ||
        h == u"volledige naam")
        return Role::FullName;
    if (h == u"first name" || h == u"given name" || h == u"voornaam")
        return Role::First;
    if (h == u"middle name" || h == u"additional name" || h == u"middelste naam" || h == u"tussenvoegsel")
        return Role::Middle;
    if (h == u"last name" || h == u"family name" || h == u"surname" || h == u"achternaam")
        return Role::Last;
    if (h == u"name prefix" || h == u"title" || h == u"titel")
        return Role::Prefix;
    if (h == u"name suffix" || h == u"suffix" || h == u"achtervoegsel")
        return Role::Suffix;
    if (h.endsWith(u"- type") || h.endsWith(u"- label") || h.contains(u"phonetic"))
        return Role::None;
    for (const char* word : {"phone", "mobile", "fax", "pager", "isdn", "telex", "callback", "telefoon", "mobiel",
                             "semafoon", "pieper"})
        if (h.contains(QLatin1String(word)))
            return Role::Phone;
    return Role::None;
}

QString Quoted(const QString& field)
{
    if (!field.contains(u',') && !field.contains(u'"') && !field.contains(u'\n') && !field.contains(u'\r') &&
        field.trimmed() == field)
        return field;
    QString quoted = field;
    quoted.replace(u'"', QStringLiteral("\"\""));
    return u'"' + quoted + u'"';
}

} // namespace

QList<QStringList> CContactsCsv::ParseRows(const QString& text)
{
    const QChar delimiter = Delimiter(text);
    QList<QStringList> rows;
    QStringList row;
    QString field;
    bool quoted = false;
    bool fieldStarted = false;
    const auto endRow = [&] {
        row << field;
        if (!(row.size() == 1 && row[0].isEmpty()))
            rows << row;
        row.clear();
        field.clear();
        fieldStarted = false;
    };
    for (qsizetype i = 0; i < text.size(); ++i) {
        const QChar ch = text[i];
        if (quoted) {
            if (ch == u'"' && i + 1 < text.size() && text[i + 1] == u'"') {
                field += u'"';
                ++i;
            } else if (ch == u'"') {
                quoted = false;
            } else {
                field += ch;
            }
        } else if (ch == u'"' && !fieldStarted) {
            quoted = true;
            fieldStarted = true;
        } else if (ch == delimiter) {
            row << field;
            field.clear();
            fieldStarted = false;
        } else if (ch == u'\n') {
            endRow();
        } else if (ch == u'\r') {
            if (i + 1 >= text.size() || text[i + 1] != u'\n')
                endRow();
        } else {
            field += ch;
            fieldStarted = true;
        }
    }
    if (fieldStarted || !row.isEmpty())
        endRow();
    return rows;
}

QList<Contact> CContactsCsv::Read(const QByteArray& bytes, bool* recognised)
{
    const QList<QStringList> rows = ParseRows(contacttext::Decode(contacttext::WithoutByteOrderMark(bytes)));
    QList<Role> roles;
    if (!rows.isEmpty())
        for (const QString& heading : rows.first())
            roles << RoleOf(heading);
    if (recognised)
        *recognised = roles.contains(Role::Phone);
    QList<Contact> contacts;
    for (qsizetype r = 1; r < rows.size(); ++r) {
        const QStringList& row = rows[r];
        QString fullName;
        QStringList parts[int(Role::Phone)];
        Contact contact;
        for (qsizetype c = 0; c < row.size() && c < roles.size(); ++c) {
            const QString value = row[c].trimmed();
            if (value.isEmpty())
                continue;
            if (roles[c] == Role::Phone) {
                // Google puts several numbers of one kind in one cell.
                for (const QString& number : value.split(QStringLiteral(":::")))
                    if (!number.trimmed().isEmpty())
                        contact.numbers << number.trimmed();
            } else if (roles[c] == Role::FullName) {
                if (fullName.isEmpty())
                    fullName = value.simplified();
            } else if (roles[c] != Role::None) {
                parts[int(roles[c])] << value.simplified();
            }
        }
        if (fullName.isEmpty()) {
            QStringList shown;
            for (Role role : {Role::Prefix, Role::First, Role::Middle, Role::Last, Role::Suffix})
                shown << parts[int(role)];
            fullName = shown.join(u' ');
        }
        contact.name = fullName;
        if (!contact.name.isEmpty() || !contact.numbers.isEmpty())
            contacts << contact;
    }
    return contacts;
}

QByteArray CContactsCsv::Write(const QList<PhoneBookRecord>& records, const CNumberMatcher& matcher, int* written)
{
    QString out = QStringLiteral("Name,Phone 1 - Type,Phone 1 - Value\r\n");
    int count = 0;
    for (const PhoneBookRecord& record : records) {
        if (record.number.trimmed().isEmpty())
            continue;
        ++count;
        const QString e164 = matcher.ValidE164(record.number);
        out += Quoted(record.name) + QStringLiteral(",Other,") + Quoted(e164.isEmpty() ? record.number : e164) +
               QStringLiteral("\r\n");
    }
    if (written)
        *written = count;
    return out.toUtf8();
}
