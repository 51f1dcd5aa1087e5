// zoemlijn-cli telefoonboek import|export FILE [--file PATH].
#pragma once

#include <QStringList>

// The arguments after "telefoonboek"; the exit code: 0 done, 1 a file that
// could not be read or written, 2 a usage error.
int PhoneBookCommand(const QStringList& args);
