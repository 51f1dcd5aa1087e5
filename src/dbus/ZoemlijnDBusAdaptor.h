// The window's service on D-Bus: the interface nl.vlinderwerk.Zoemlijn1
// (nl.vlinderwerk.Zoemlijn1.xml beside this file) over a CZoemlijnService,
// which knows nothing of the bus. A refused send comes back as a D-Bus
// error whose message is the window's Dutch text.
#pragma once

#include <QDBusAbstractAdaptor>
#include <QDBusConnection>

class CZoemlijnService;
class QDBusMessage;

class CZoemlijnDBusAdaptor final : public QDBusAbstractAdaptor
{
    Q_OBJECT
    // Kept equal to the interface in nl.vlinderwerk.Zoemlijn1.xml; the
    // tests compare what the bus shows with that file.
    Q_CLASSINFO("D-Bus Interface", "nl.vlinderwerk.Zoemlijn1")
    Q_CLASSINFO("D-Bus Introspection", ""
                "  <interface name=\"nl.vlinderwerk.Zoemlijn1\">\n"
                "    <method name=\"Send\">\n"
                "      <arg name=\"number\" type=\"s\" direction=\"in\"/>\n"
                "      <arg name=\"text\" type=\"s\" direction=\"in\"/>\n"
                "    </method>\n"
                "    <signal name=\"TextReceived\">\n"
                "      <arg name=\"number\" type=\"s\"/>\n"
                "      <arg name=\"name\" type=\"s\"/>\n"
                "      <arg name=\"text\" type=\"s\"/>\n"
                "      <arg name=\"calledNumber\" type=\"s\"/>\n"
                "      <arg name=\"callType\" type=\"s\"/>\n"
                "      <arg name=\"unixTime\" type=\"x\"/>\n"
                "    </signal>\n"
                "    <signal name=\"TextSent\">\n"
                "      <arg name=\"number\" type=\"s\"/>\n"
                "      <arg name=\"text\" type=\"s\"/>\n"
                "    </signal>\n"
                "    <signal name=\"Delivery\">\n"
                "      <arg name=\"number\" type=\"s\"/>\n"
                "      <arg name=\"text\" type=\"s\"/>\n"
                "      <arg name=\"reason\" type=\"q\"/>\n"
                "    </signal>\n"
                "    <property name=\"LinkUp\" type=\"b\" access=\"read\">\n"
                "      <annotation name=\"org.freedesktop.DBus.Property.EmitsChangedSignal\" value=\"true\"/>\n"
                "    </property>\n"
                "  </interface>\n")
    Q_PROPERTY(bool LinkUp READ LinkUp)

public:
    enum class Offered {
        Yes,
        NoBus,     // no bus to offer it on
        NameTaken, // another program (a second copy) holds the name
        Failed,    // the bus refused otherwise
    };

    // Puts `service` on `bus` at its path under its name, with an adaptor
    // of its own that lives as long as the service or until it is offered
    // no longer. One bus per service. Anything but Yes leaves nothing on
    // the bus.
    static Offered Offer(CZoemlijnService& service, const QDBusConnection& bus);
    // The window's offer: on the session bus where there is one. A second
    // copy says once on stderr that the name is taken and offers nothing.
    static Offered OfferOnSessionBus(CZoemlijnService& service);

    // Gives the name and the path back.
    ~CZoemlijnDBusAdaptor() override;

    bool LinkUp() const;

public slots:
    // The bus's call; `message` is the call itself, answered with an error
    // when the service refuses.
    void Send(const QString& number, const QString& text, const QDBusMessage& message);

signals:
    void TextReceived(const QString& number, const QString& name, const QString& text, const QString& calledNumber,
                      const QString& callType, qlonglong unixTime);
    void TextSent(const QString& number, const QString& text);
    void Delivery(const QString& number, const QString& text, quint16 reason);

private:
    CZoemlijnDBusAdaptor(CZoemlijnService& service, const QDBusConnection& bus);
    // org.freedesktop.DBus.Properties.PropertiesChanged for LinkUp.
    void SayLinkUpChanged(bool up);

    CZoemlijnService& m_service;
    QDBusConnection m_bus;
    bool m_offered = false; // holds the name and the path
};
