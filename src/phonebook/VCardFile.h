// vCard files (RFC 2426 for 3.0, RFC 6350 for 4.0, and the older 2.1):
// contacts in, and the phone book out as vCard 4.0.
#pragma once

#include "Contact.h"
#include "NumberMatcher.h"
#include "PhoneBookFile.h"

#include <QList>

class CVCardFile
{
public:
    // Every contact of every BEGIN:VCARD ... END:VCARD, with folded lines,
    // QUOTED-PRINTABLE and CHARSET (2.1) and UTF-8 (3.0, 4.0). The name is
    // FN, else the parts of N. `isVCard` says whether any card was found.
    static QList<Contact> Read(const QByteArray& bytes, bool* isVCard = nullptr);

    // One vCard 4.0 per record that has a number: FN and one TEL, in UTF-8
    // with CR LF, lines folded at 75 octets. A valid number is written as a
    // tel: URI in E.164 form, any other as the text it is.
    static QByteArray Write(const QList<PhoneBookRecord>& records, const CNumberMatcher& matcher, int* written = nullptr);
};
