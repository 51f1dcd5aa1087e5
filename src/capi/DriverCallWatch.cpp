#include "DriverCallWatch.h"

#include "DriverCall.h"

#include <QObject>
#include <QPointer>
#include <QTimer>

namespace {

// Lives as long as somebody waits for the call; its end gives the call up,
// and with it the notification from the call's thread.
class CallWatch final : public QObject
{
public:
    CallWatch(QObject* context, std::shared_ptr<CDriverCall> call, std::function<void()> then)
        : QObject(context), m_call(std::move(call)), m_then(std::move(then))
    {
        // From the call's thread: posted, never run there. Not after this
        // object's end, which gives the call up first.
        m_call->WhenAnswered([this] { QMetaObject::invokeMethod(this, [this] { Fire(); }, Qt::QueuedConnection); });
        QTimer::singleShot(m_call->RemainingMs(), Qt::PreciseTimer, this, [this] { Fire(); });
    }
    ~CallWatch() override
    {
        // Gone before the answer: nobody takes it. After it, `then` has
        // dealt with the call; only the notification is cut off.
        if (m_then)
            m_call->GiveUp();
        else
            m_call->WhenAnswered(nullptr);
    }

private:
    void Fire()
    {
        if (!m_then)
            return; // the answer and the bound both came
        const auto then = std::move(m_then);
        m_then = nullptr;
        QPointer<CallWatch> alive(this);
        then(); // may end the context, and this with it
        if (alive)
            deleteLater();
    }

    std::shared_ptr<CDriverCall> m_call;
    std::function<void()> m_then;
};

} // namespace

void AfterAnswer(QObject* context, const std::shared_ptr<CDriverCall>& call, int graceMs,
                 std::function<void()> then)
{
    if (call->WaitFor(graceMs) || call->RemainingMs() == 0 || call->IsGivenUp()) {
        then();
        return;
    }
    new CallWatch(context, call, std::move(then));
}
