#include "TextHook.h"

#include "Platform.h"

namespace {

// The variables in the order of the arguments.
const char* const kVariables[] = {
    "ZOEMLIJN_NUMBER", "ZOEMLIJN_NAME", "ZOEMLIJN_TEXT", "ZOEMLIJN_CALLED", "ZOEMLIJN_CALL_TYPE", "ZOEMLIJN_TIME",
};

} // namespace

bool CTextHook::Run(const QString& program, const ReceivedText& text)
{
    if (program.isEmpty())
        return false;
    if (m_running >= kMaxRunning) {
        ++m_skipped;
        return false;
    }
    ++m_running;
    CPlatform::Instance().StartProgram(program, Arguments(text), Environment(text), this, [this] { --m_running; });
    return true;
}

QString CTextHook::IsoTime(const QDateTime& time)
{
    // With its offset, so that the time says which moment it was.
    return time.toOffsetFromUtc(time.offsetFromUtc()).toString(Qt::ISODate);
}

QStringList CTextHook::Arguments(const ReceivedText& text)
{
    return {text.number, text.name, text.text, text.calledNumber, text.callType, IsoTime(text.time)};
}

QList<QPair<QString, QString>> CTextHook::Environment(const ReceivedText& text)
{
    const QStringList values = Arguments(text);
    QList<QPair<QString, QString>> environment;
    for (qsizetype i = 0; i < values.size(); ++i)
        environment.append({QString::fromLatin1(kVariables[i]), values[i]});
    return environment;
}
