#include "CliPhoneBook.h"

#include "CliOutput.h"
#include "PhoneBookFile.h"
#include "PhoneBookImport.h"

#include <cstdio>

namespace {

const char kUsage[] =
    "Gebruik: zoemlijn-cli telefoonboek import BESTAND [--file TELEFOONBOEK]\n"
    "         zoemlijn-cli telefoonboek export BESTAND [--file TELEFOONBOEK]\n"
    "\n"
    "  import  voegt de telefoonnummers uit een adresboek (.vcf of .csv) toe aan het\n"
    "          telefoonboek; nummers die er al in staan worden overgeslagen\n"
    "  export  schrijft het telefoonboek als vCard 4.0 (.vcf) of als CSV van Google\n"
    "          Contacts (.csv)\n"
    "  --file  een ander telefoonboek dan telefoonboek.dat in de huidige map\n";

int Usage(const QString& problem)
{
    Print(stderr, "zoemlijn-cli: " + problem);
    std::fputs(kUsage, stderr);
    return ExitUsage;
}

int Import(const QString& file, const QString& bookPath)
{
    const CPhoneBookImport import(NumberRules::FromSettings());
    QList<Contact> contacts;
    QString error;
    if (!import.ReadFile(file, &contacts, &error)) {
        Print(stderr, "zoemlijn-cli: " + error);
        return ExitFailed;
    }
    QList<PhoneBookRecord> book;
    if (LoadPhoneBookFrom(bookPath, &book) == recordfile::ReadStatus::Failed) {
        Print(stderr, "zoemlijn-cli: kan " + bookPath + " niet lezen");
        return ExitFailed;
    }
    CPhoneBookImport::Summary summary;
    const QList<PhoneBookRecord> added = import.NewRecords(book, contacts, &summary);
    if (!SavePhoneBookTo(bookPath, book + added)) {
        Print(stderr, "zoemlijn-cli: kan " + bookPath + " niet schrijven");
        return ExitFailed;
    }
    Print(stdout, summary.Text());
    return ExitOk;
}

int Export(const QString& file, const QString& bookPath)
{
    QList<PhoneBookRecord> book;
    if (LoadPhoneBookFrom(bookPath, &book) != recordfile::ReadStatus::Ok) {
        Print(stderr, "zoemlijn-cli: kan " + bookPath + " niet lezen");
        return ExitFailed;
    }
    int written = 0;
    QString error;
    if (!CPhoneBookExport::WriteFile(file, book, NumberRules::FromSettings(), &written, &error)) {
        Print(stderr, "zoemlijn-cli: " + error);
        return ExitFailed;
    }
    Print(stdout, QString("%1 naar %2").arg(written == 1 ? QString("1 nummer") : QString("%1 nummers").arg(written), file));
    return ExitOk;
}

} // namespace

int PhoneBookCommand(const QStringList& args)
{
    QString bookPath = QString::fromLatin1(kPhoneBookFileName);
    QStringList rest;
    for (qsizetype i = 0; i < args.size(); ++i) {
        if (args[i] == "--file") {
            if (i + 1 >= args.size() || args[i + 1].isEmpty())
                return Usage("--file verwacht een bestand");
            bookPath = args[++i];
        } else if (args[i].startsWith("--")) {
            return Usage("onbekende optie: " + args[i]);
        } else {
            rest << args[i];
        }
    }
    if (rest.size() != 2 || (rest[0] != "import" && rest[0] != "export"))
        return Usage("telefoonboek verwacht import of export en een BESTAND");
    const QString& file = rest[1];
    if (CPhoneBookImport::FormatOf(file) == CPhoneBookImport::Format::Unknown)
        return Usage("onbekende soort bestand: " + file + " (.vcf of .csv)");
    return rest[0] == "import" ? Import(file, bookPath) : Export(file, bookPath);
}
