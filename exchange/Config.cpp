#include "Config.h"

#include <QFile>
#include <QRegularExpression>

namespace exchange {

namespace {

bool IsNumber(const QString& s)
{
    static const QRegularExpression kDigits(QStringLiteral("^[0-9*#]{1,32}$"));
    return kDigits.match(s).hasMatch();
}

bool SetAddress(const QString& text, Config& config, QString& error)
{
    QHostAddress address;
    if (!address.setAddress(text)) {
        error = QStringLiteral("not an address: %1").arg(text);
        return false;
    }
    config.address = address;
    return true;
}

bool AddAnswering(const QString& number, Config& config, QString& error)
{
    if (!IsNumber(number)) {
        error = QStringLiteral("not a number: %1").arg(number);
        return false;
    }
    config.answering << number;
    return true;
}

// A day is more than any exchange waits for an answer.
constexpr int64_t kMaxTimeoutMs = 24 * 60 * 60 * 1000;

bool SetTimeout(const QString& name, const QString& text, int64_t& ms, QString& error)
{
    bool ok = false;
    const qlonglong value = text.toLongLong(&ok);
    if (!ok || value < 1 || value > kMaxTimeoutMs) {
        error = QStringLiteral("%1 expects milliseconds from 1 to %2, got \"%3\"").arg(name).arg(kMaxTimeoutMs).arg(text);
        return false;
    }
    ms = value;
    return true;
}

bool SetCount(const QString& name, const QString& text, int low, int high, int& out, QString& error)
{
    bool ok = false;
    const int value = text.toInt(&ok);
    if (!ok || value < low || value > high) {
        error = QStringLiteral("%1 expects a number from %2 to %3, got \"%4\"").arg(name).arg(low).arg(high).arg(text);
        return false;
    }
    out = value;
    return true;
}

bool AddAllowed(const QString& text, Config& config, QString& error)
{
    QPair<QHostAddress, int> net = QHostAddress::parseSubnet(text);
    if (!text.contains(QLatin1Char('/'))) {
        // A single address: all its bits count.
        QHostAddress one;
        if (one.setAddress(text))
            net = {one, one.protocol() == QAbstractSocket::IPv6Protocol ? 128 : 32};
    }
    if (net.first.isNull()) {
        error = QStringLiteral("expected ADDRESS[/PREFIX], got \"%1\"").arg(text);
        return false;
    }
    config.allow << net;
    return true;
}

// The settings that take one value, in the file as "name VALUE" and on the
// command line as "--name VALUE".
bool SetValue(const QString& name, const QString& value, Config& config, QString& error, bool& known)
{
    known = true;
    if (name == QLatin1String("answer"))
        return AddAnswering(value, config, error);
    if (name == QLatin1String("address"))
        return SetAddress(value, config, error);
    if (name == QLatin1String("pcap")) {
        config.pcapPath = value;
        return true;
    }
    if (name == QLatin1String("setup-timeout"))
        return SetTimeout(name, value, config.setupTimeoutMs, error);
    if (name == QLatin1String("alert-timeout"))
        return SetTimeout(name, value, config.alertTimeoutMs, error);
    if (name == QLatin1String("register-timeout"))
        return SetTimeout(name, value, config.registerTimeoutMs, error);
    if (name == QLatin1String("max-connections"))
        return SetCount(name, value, 1, 1000000, config.maxConnections, error);
    if (name == QLatin1String("line-connections"))
        return SetCount(name, value, 1, 1000000, config.lineConnections, error);
    if (name == QLatin1String("client-registrations"))
        return SetCount(name, value, 1, 10000, config.clientRegistrations, error);
    // A line has 255 PLCIs.
    if (name == QLatin1String("client-calls"))
        return SetCount(name, value, 1, 255, config.clientCalls, error);
    // A primary rate line has 30 B channels.
    if (name == QLatin1String("channels"))
        return SetCount(name, value, 1, 30, config.channels, error);
    if (name == QLatin1String("allow"))
        return AddAllowed(value, config, error);
    known = false;
    return false;
}

} // namespace

bool ParseLineDef(const QString& text, LineDef& def, QString& error)
{
    const qsizetype eq = text.indexOf(QLatin1Char('='));
    const QString number = text.left(eq);
    bool ok = eq > 0;
    const uint port = ok ? text.mid(eq + 1).toUInt(&ok) : 0;
    if (!ok || !IsNumber(number) || port > 65535) {
        error = QStringLiteral("expected NUMBER=PORT, got \"%1\"").arg(text);
        return false;
    }
    def.number = number;
    def.port = static_cast<quint16>(port);
    return true;
}

bool ParseConfigText(const QString& text, Config& config, QString& error)
{
    int lineNo = 0;
    for (QString line : text.split(QLatin1Char('\n'))) {
        ++lineNo;
        const qsizetype hash = line.indexOf(QLatin1Char('#'));
        if (hash >= 0)
            line.truncate(hash);
        const QStringList words = line.simplified().split(QLatin1Char(' '), Qt::SkipEmptyParts);
        if (words.isEmpty())
            continue;
        const QString& key = words[0];
        bool ok = false;
        if (key == QLatin1String("verbose") && words.size() == 1) {
            config.verbose = true;
            ok = true;
        } else if (words.size() != 2) {
            ok = false;
        } else if (key == QLatin1String("line")) {
            LineDef def;
            ok = ParseLineDef(words[1], def, error);
            if (ok)
                config.lines << def;
        } else {
            bool known = false;
            ok = SetValue(key, words[1], config, error, known);
        }
        if (!ok) {
            error = QStringLiteral("line %1: %2").arg(lineNo).arg(error.isEmpty() ? line.trimmed() : error);
            return false;
        }
    }
    return true;
}

bool ParseArguments(const QStringList& args, Config& config, QString& error)
{
    for (qsizetype i = 0; i < args.size(); ++i) {
        const QString& arg = args[i];
        if (arg == QLatin1String("--verbose")) {
            config.verbose = true;
            continue;
        }
        if (!arg.startsWith(QLatin1String("--"))) {
            error = QStringLiteral("unknown option %1").arg(arg);
            return false;
        }
        const QString name = arg.mid(2);
        if (i + 1 >= args.size()) {
            error = QStringLiteral("%1 needs a value").arg(arg);
            return false;
        }
        const QString value = args[++i];
        if (name == QLatin1String("line")) {
            LineDef def;
            if (!ParseLineDef(value, def, error))
                return false;
            config.lines << def;
        } else if (name != QLatin1String("config")) {
            bool known = false;
            if (!SetValue(name, value, config, error, known)) {
                if (!known)
                    error = QStringLiteral("unknown option %1").arg(arg);
                return false;
            }
        } else {
            QFile file(value);
            if (!file.open(QIODevice::ReadOnly)) {
                error = QStringLiteral("cannot read %1").arg(value);
                return false;
            }
            if (!ParseConfigText(QString::fromUtf8(file.readAll()), config, error)) {
                error = value + QStringLiteral(": ") + error;
                return false;
            }
        }
    }
    if (config.lines.isEmpty() && config.answering.isEmpty()) {
        error = QStringLiteral("no lines (--line NUMBER=PORT)");
        return false;
    }
    return true;
}

} // namespace exchange
