// Offers a service object on the session bus as the window does, prints
// what came of it and ends: how a second copy, or a copy without a bus,
// fares in a process of its own.
#include "ZoemlijnDBusAdaptor.h"
#include "ZoemlijnService.h"

#include <QCoreApplication>

#include <cstdio>

int main(int argc, char** argv)
{
    QCoreApplication app(argc, argv);
    CZoemlijnService service([](const QString&, const QString&) { return std::nullopt; });
    const char* names[] = {"Yes", "NoBus", "NameTaken", "Failed"};
    std::printf("%s\n", names[int(CZoemlijnDBusAdaptor::OfferOnSessionBus(service))]);
    return 0;
}
