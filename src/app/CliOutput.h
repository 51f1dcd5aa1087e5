// What every zoemlijn-cli command shares: its exit codes and its lines.
#pragma once

#include <QString>

#include <cstdio>

enum ExitCode { ExitOk = 0, ExitFailed = 1, ExitUsage = 2 };

// One line, flushed at once: the output may go to a pipe that a script
// reads line by line.
inline void Print(FILE* stream, const QString& line)
{
    std::fprintf(stream, "%s\n", line.toLocal8Bit().constData());
    std::fflush(stream);
}
