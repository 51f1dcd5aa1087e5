// What the running window offers other programs: sending a text as its
// "Verzenden " button does, and word of every text received, sent and
// cleared, and of the CAPI link's state. It knows nothing of how it is
// reached; CZoemlijnDBusAdaptor puts it on the session bus.
#pragma once

#include <QDateTime>
#include <QObject>
#include <QString>

#include <functional>
#include <optional>

class CZoemlijnService final : public QObject
{
    Q_OBJECT
    Q_PROPERTY(bool LinkUp READ LinkUp NOTIFY LinkUpChanged)

public:
    // What became of a send.
    enum class SendStatus {
        Accepted,
        Invalid, // a number or text the window's fields would not take
        Refused, // the window refused it, as it refuses its own button
    };
    struct SendResult
    {
        SendStatus status = SendStatus::Accepted;
        QString message; // Dutch, what the window would show; empty when accepted
    };

    // The window's send, given what its fields could hold: nothing when the
    // request went out, else the text the window would have shown.
    using Sender = std::function<std::optional<QString>(const QString& number, const QString& text)>;

    // The window's answer to a send while it still pauses after the last.
    static constexpr char kRefusedPause[] = "Even wachten: de vorige tekst is net verstuurd";

    explicit CZoemlijnService(Sender sender, QObject* parent = nullptr);

    // Checks what the window's fields check (digits only; at most 19
    // characters, each one Windows-1252 has), then hands over to the window.
    SendResult Send(const QString& number, const QString& text);

    bool LinkUp() const { return m_linkUp; }
    // Emits LinkUpChanged only when the state really changes.
    void SetLinkUp(bool up);

    // The window's reports, with its strings as it decoded them from the
    // network's Windows-1252. They go out as the log shows them: control
    // characters as blanks, so no listener's display can be steered (and a
    // NUL cannot cut a string short).
    void ReportReceived(const QString& number, const QString& name, const QString& text, const QString& calledNumber,
                        const QString& callType, const QDateTime& time);
    void ReportSent(const QString& number, const QString& text);
    // `reason` is the DISCONNECT_IND's of the call that carried the text.
    void ReportDelivery(const QString& number, const QString& text, quint16 reason);

signals:
    void TextReceived(const QString& number, const QString& name, const QString& text, const QString& calledNumber,
                      const QString& callType, qlonglong unixTime);
    void TextSent(const QString& number, const QString& text);
    void Delivery(const QString& number, const QString& text, quint16 reason);
    void LinkUpChanged(bool up);

private:
    Sender m_sender;
    bool m_linkUp = false;
};
