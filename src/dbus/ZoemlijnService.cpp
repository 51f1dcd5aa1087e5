#include "ZoemlijnService.h"

#include "Cp1252.h"

namespace {

constexpr int kSendTextLimit = 19; // what the window's text field holds

QString Shown(const QString& text) { return cp1252::ControlsAsBlanks(text); }

} // namespace

CZoemlijnService::CZoemlijnService(Sender sender, QObject* parent)
    : QObject(parent), m_sender(std::move(sender))
{
}

CZoemlijnService::SendResult CZoemlijnService::Send(const QString& number, const QString& text)
{
    // The window's number field takes digits only; an empty one is the
    // window's own refusal.
    for (QChar ch : number)
        if (ch < u'0' || ch > u'9')
            return {SendStatus::Invalid, QStringLiteral("Alleen cijfers in het nummer")};
    // Its text field takes only what goes out as typed.
    for (qsizetype i = 0; i < text.size(); ++i) {
        if (!cp1252::CanEncode(text[i])) {
            // A character beyond the first plane is named whole.
            const qsizetype length = text[i].isHighSurrogate() && i + 1 < text.size() ? 2 : 1;
            return {SendStatus::Invalid, QStringLiteral("Dit teken kan niet verstuurd worden: ") + text.mid(i, length)};
        }
    }
    if (text.size() > kSendTextLimit)
        return {SendStatus::Invalid, QStringLiteral("Tekst te lang: hoogstens %1 tekens").arg(kSendTextLimit)};
    if (const std::optional<QString> refusal = m_sender(number, text))
        return {SendStatus::Refused, *refusal};
    return {};
}

void CZoemlijnService::SetLinkUp(bool up)
{
    if (up == m_linkUp)
        return;
    m_linkUp = up;
    emit LinkUpChanged(up);
}

void CZoemlijnService::ReportReceived(const QString& number, const QString& name, const QString& text,
                                      const QString& calledNumber, const QString& callType, const QDateTime& time)
{
    emit TextReceived(Shown(number), Shown(name), Shown(text), Shown(calledNumber), Shown(callType),
                      time.toSecsSinceEpoch());
}

void CZoemlijnService::ReportSent(const QString& number, const QString& text)
{
    emit TextSent(Shown(number), Shown(text));
}

void CZoemlijnService::ReportDelivery(const QString& number, const QString& text, quint16 reason)
{
    emit Delivery(Shown(number), Shown(text), reason);
}
