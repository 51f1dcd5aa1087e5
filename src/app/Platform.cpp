#include "Platform.h"

#include <cstdio>

namespace {

class ConsolePlatform final : public CPlatform
{
public:
    void ShowMessage(const QString& text) override
    {
        std::fprintf(stderr, "Zoemlijn: %s\n", text.toLocal8Bit().constData());
    }
};

CPlatform* g_installed = nullptr; // set on the user-interface thread at start-up

} // namespace

CPlatform::~CPlatform() = default;

CPlatform& CPlatform::Instance()
{
    static ConsolePlatform console;
    return g_installed ? *g_installed : console;
}

void CPlatform::Install(CPlatform* platform) { g_installed = platform; }
