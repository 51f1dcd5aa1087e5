#include "PhoneBookImport.h"

#include "ContactsCsv.h"
#include "Cp1252.h"
#include "RecordFile.h"
#include "VCardFile.h"

#include <QFile>
#include <QFileInfo>
#include <QSet>
#include <QStringDecoder>

namespace {

// Letters that no decomposition takes to a plain one.
char16_t PlainLetter(char32_t ch)
{
    switch (ch) {
    case U'Ł': return u'L';
    case U'ł': return u'l';
    case U'Đ': return u'D';
    case U'đ': return u'd';
    case U'Ħ': return u'H';
    case U'ħ': return u'h';
    case U'ı': return u'i';
    case U'ĸ': return u'k';
    case U'Ŀ': return u'L';
    case U'ŀ': return u'l';
    case U'Ŋ': return u'N';
    case U'ŋ': return u'n';
    case U'Ŧ': return u'T';
    case U'ŧ': return u't';
    case U'Ə': return u'E';
    case U'ə': return u'e';
    default: return 0;
    }
}

QString Plural(int n, const char* one, const char* many) { return QString::number(n) + u' ' + QLatin1String(n == 1 ? one : many); }

} // namespace

CPhoneBookImport::CPhoneBookImport(const NumberRules& rules) : m_matcher(rules) {}

namespace {

// By its contents, in whatever encoding its byte-order mark names.
bool LooksLikeVCard(const QByteArray& bytes)
{
    const auto encoding = QStringConverter::encodingForData(bytes);
    const QString text = encoding ? QStringDecoder(*encoding).decode(bytes) : QString::fromLatin1(bytes);
    return text.contains(QLatin1String("BEGIN:VCARD"), Qt::CaseInsensitive);
}

} // namespace

CPhoneBookImport::Format CPhoneBookImport::FormatOf(const QString& path)
{
    const QString suffix = QFileInfo(path).suffix().toLower();
    if (suffix == u"vcf" || suffix == u"vcard")
        return Format::VCard;
    if (suffix == u"csv")
        return Format::Csv;
    return Format::Unknown;
}

bool CPhoneBookImport::ReadFile(const QString& path, QList<Contact>* contacts, QString* error) const
{
    contacts->clear();
    QFile file(path);
    if (!file.open(QIODevice::ReadOnly)) {
        *error = QStringLiteral("Kan %1 niet lezen: %2").arg(path, file.errorString());
        return false;
    }
    const QByteArray bytes = file.readAll();
    if (file.error() != QFileDevice::NoError) {
        *error = QStringLiteral("Kan %1 niet lezen: %2").arg(path, file.errorString());
        return false;
    }
    Format format = FormatOf(path);
    if (format == Format::Unknown)
        format = LooksLikeVCard(bytes) ? Format::VCard : Format::Csv;
    bool found = false;
    if (format == Format::VCard) {
        *contacts = CVCardFile::Read(bytes, &found);
        if (!found)
            *error = QStringLiteral("%1 bevat geen vCard.").arg(path);
    } else {
        *contacts = CContactsCsv::Read(bytes, &found);
        if (!found)
            *error = QStringLiteral("%1 is geen adresboek: de eerste regel noemt geen telefoonkolom.").arg(path);
    }
    if (!found)
        contacts->clear();
    return found;
}

QString CPhoneBookImport::ForPhoneBook(const QString& text)
{
    QString out;
    out.reserve(text.size());
    for (const char32_t ch : text.toUcs4()) {
        if (ch == U'\r' || ch == U'\n' || ch == U'\t') {
            out += u' ';
            continue;
        }
        if (ch < 0x10000 && cp1252::CanEncode(QChar(char16_t(ch))) && QChar(char16_t(ch)).isPrint()) {
            out += QChar(char16_t(ch));
            continue;
        }
        if (const char16_t plain = PlainLetter(ch)) {
            out += QChar(plain);
            continue;
        }
        // The base letter of a decomposed character, its marks dropped.
        QString base;
        for (QChar part : QString::fromUcs4(&ch, 1).normalized(QString::NormalizationForm_KD))
            if (part.category() != QChar::Mark_NonSpacing && cp1252::CanEncode(part) && part.isPrint())
                base += part;
        out += base.isEmpty() ? QStringLiteral("?") : base;
    }
    return out;
}

QList<PhoneBookRecord> CPhoneBookImport::NewRecords(const QList<PhoneBookRecord>& book,
                                                    const QList<Contact>& contacts, Summary* summary) const
{
    *summary = Summary();
    QSet<QString> known; // as written, and in E.164 form
    for (const PhoneBookRecord& record : book) {
        known.insert(record.number);
        if (const QString e164 = m_matcher.BookE164(record.number); !e164.isEmpty())
            known.insert(e164);
    }
    QList<PhoneBookRecord> added;
    for (const Contact& contact : contacts) {
        const QString name = ForPhoneBook(contact.name.simplified());
        bool addedOne = false;
        for (const QString& written : contact.numbers) {
            const QString number = m_matcher.ForBook(written);
            if (number.isEmpty())
                continue;
            const QString e164 = m_matcher.BookE164(number);
            if (known.contains(number) || (!e164.isEmpty() && known.contains(e164))) {
                ++summary->alreadyThere;
                continue;
            }
            known.insert(number);
            if (!e164.isEmpty())
                known.insert(e164);
            added.append({number, name, QString(), QString()});
            addedOne = true;
        }
        summary->added = int(added.size());
        if (addedOne && name != contact.name.simplified())
            ++summary->namesChanged;
    }
    return added;
}

QString CPhoneBookImport::Summary::Text() const
{
    return QStringLiteral("%1 toegevoegd, %2 al in het telefoonboek, %3 aangepast.")
        .arg(Plural(added, "nummer", "nummers"), Plural(alreadyThere, "nummer stond", "nummers stonden"),
             Plural(namesChanged, "naam", "namen"));
}

bool CPhoneBookExport::WriteFile(const QString& path, const QList<PhoneBookRecord>& records, const NumberRules& rules,
                                 int* written, QString* error)
{
    const CNumberMatcher matcher(rules);
    const QByteArray bytes = CPhoneBookImport::FormatOf(path) == CPhoneBookImport::Format::Csv
                                 ? CContactsCsv::Write(records, matcher, written)
                                 : CVCardFile::Write(records, matcher, written);
    if (!recordfile::WriteAtomically(path, bytes)) {
        *error = QStringLiteral("Kan %1 niet schrijven.").arg(path);
        return false;
    }
    return true;
}
