// While one lives, the program takes no user input: key presses, clicks,
// wheel and touch are dropped, not queued, so nothing given during a wait
// is replayed after it. Painting, timers and closing go on.
#pragma once

#include <QObject>

class CInputBlocker final : public QObject
{
public:
    CInputBlocker();
    ~CInputBlocker() override;

    CInputBlocker(const CInputBlocker&) = delete;
    CInputBlocker& operator=(const CInputBlocker&) = delete;

protected:
    bool eventFilter(QObject* watched, QEvent* event) override;
};
