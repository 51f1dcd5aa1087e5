// Contacts of an address book into the phone book, and the phone book out
// to one: one record per telephone number, named by the contact, numbers
// written as the user's own book holds them, names in what Windows-1252
// can carry, numbers the book has already skipped.
#pragma once

#include "Contact.h"
#include "NumberMatcher.h"
#include "PhoneBookFile.h"

#include <QList>
#include <QString>

class CPhoneBookImport
{
public:
    explicit CPhoneBookImport(const NumberRules& rules);

    enum class Format { Unknown, VCard, Csv };
    // By the name's extension: .vcf (or .vcard) and .csv.
    static Format FormatOf(const QString& path);

    // The contacts of a file, its format by extension, or by its contents
    // when the extension says nothing. False, with the reason in Dutch, when
    // it cannot be read or holds no address book.
    bool ReadFile(const QString& path, QList<Contact>* contacts, QString* error) const;

    struct Summary
    {
        int added = 0;
        int alreadyThere = 0;
        int namesChanged = 0;
        // One line, as the page's message and the command line say it.
        QString Text() const;
    };
    // The records to add to `book`, in the contacts' order: one per number
    // that neither the book nor an earlier contact holds (compared as
    // written and in E.164 form).
    QList<PhoneBookRecord> NewRecords(const QList<PhoneBookRecord>& book, const QList<Contact>& contacts,
                                      Summary* summary) const;

    // Text the phone book can hold: characters Windows-1252 lacks become the
    // plain letter they are made on ("Ł" to "L", "ő" to "o"), or "?"; line
    // breaks and tabs become blanks.
    static QString ForPhoneBook(const QString& text);

private:
    CNumberMatcher m_matcher;
};

class CPhoneBookExport
{
public:
    // vCard 4.0 for .vcf, Google's CSV layout for .csv, written atomically.
    // False, with the reason in Dutch, when it cannot be written.
    static bool WriteFile(const QString& path, const QList<PhoneBookRecord>& records, const NumberRules& rules,
                          int* written, QString* error);
};
