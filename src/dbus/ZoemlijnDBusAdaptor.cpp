#include "ZoemlijnDBusAdaptor.h"

#include "ZoemlijnBus.h"
#include "ZoemlijnService.h"

#include <QDBusConnectionInterface>
#include <QDBusMessage>
#include <QDBusReply>

#include <cstdio>

using namespace zoemlijnbus;

CZoemlijnDBusAdaptor::CZoemlijnDBusAdaptor(CZoemlijnService& service, const QDBusConnection& bus)
    : QDBusAbstractAdaptor(&service), m_service(service), m_bus(bus)
{
    connect(&service, &CZoemlijnService::TextReceived, this, &CZoemlijnDBusAdaptor::TextReceived);
    connect(&service, &CZoemlijnService::TextSent, this, &CZoemlijnDBusAdaptor::TextSent);
    connect(&service, &CZoemlijnService::Delivery, this, &CZoemlijnDBusAdaptor::Delivery);
    connect(&service, &CZoemlijnService::LinkUpChanged, this, &CZoemlijnDBusAdaptor::SayLinkUpChanged);
}

CZoemlijnDBusAdaptor::~CZoemlijnDBusAdaptor()
{
    if (!m_offered)
        return;
    m_bus.unregisterService(QString::fromLatin1(kService));
    m_bus.unregisterObject(QString::fromLatin1(kPath));
}

CZoemlijnDBusAdaptor::Offered CZoemlijnDBusAdaptor::Offer(CZoemlijnService& service, const QDBusConnection& bus)
{
    if (!bus.isConnected())
        return Offered::NoBus;
    auto* adaptor = new CZoemlijnDBusAdaptor(service, bus);
    // The object first: whoever sees the name finds it there.
    QDBusConnection connection = bus;
    if (!connection.registerObject(QString::fromLatin1(kPath), &service, QDBusConnection::ExportAdaptors)) {
        delete adaptor;
        return Offered::Failed;
    }
    // Never queued for the name nor taking it over: the copy that has it
    // keeps it.
    const QDBusReply<QDBusConnectionInterface::RegisterServiceReply> reply = connection.interface()->registerService(
        QString::fromLatin1(kService), QDBusConnectionInterface::DontQueueService,
        QDBusConnectionInterface::DontAllowReplacement);
    if (!reply.isValid() || reply.value() != QDBusConnectionInterface::ServiceRegistered) {
        connection.unregisterObject(QString::fromLatin1(kPath));
        delete adaptor;
        return reply.isValid() ? Offered::NameTaken : Offered::Failed;
    }
    adaptor->m_offered = true;
    return Offered::Yes;
}

CZoemlijnDBusAdaptor::Offered CZoemlijnDBusAdaptor::OfferOnSessionBus(CZoemlijnService& service)
{
    // Without a session bus the window is as it always was, and says nothing.
    const Offered offered = Offer(service, QDBusConnection::sessionBus());
    switch (offered) {
    case Offered::NameTaken:
        std::fprintf(stderr, "Zoemlijn: %s is op de sessiebus al in gebruik (draait Zoemlijn al?); dit venster is "
                             "niet via D-Bus te bereiken\n",
                     kService);
        break;
    case Offered::Failed:
        std::fprintf(stderr, "Zoemlijn: de sessiebus weigerde %s; dit venster is niet via D-Bus te bereiken\n",
                     kService);
        break;
    case Offered::Yes:
    case Offered::NoBus:
        break;
    }
    return offered;
}

bool CZoemlijnDBusAdaptor::LinkUp() const { return m_service.LinkUp(); }

void CZoemlijnDBusAdaptor::Send(const QString& number, const QString& text, const QDBusMessage& message)
{
    const CZoemlijnService::SendResult result = m_service.Send(number, text);
    if (result.status == CZoemlijnService::SendStatus::Accepted)
        return; // the bus answers with an empty reply
    const char* error = result.status == CZoemlijnService::SendStatus::Invalid ? kErrorInvalidArgs : kErrorRefused;
    message.setDelayedReply(true);
    m_bus.send(message.createErrorReply(QString::fromLatin1(error), result.message));
}

void CZoemlijnDBusAdaptor::SayLinkUpChanged(bool up)
{
    if (!m_offered)
        return;
    QDBusMessage signal = QDBusMessage::createSignal(QString::fromLatin1(kPath),
                                                     QStringLiteral("org.freedesktop.DBus.Properties"),
                                                     QStringLiteral("PropertiesChanged"));
    signal << QString::fromLatin1(kInterface) << QVariantMap{{QStringLiteral("LinkUp"), up}} << QStringList();
    m_bus.send(signal);
}
