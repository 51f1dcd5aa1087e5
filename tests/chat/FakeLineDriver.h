// A driver for the window's two links: every registration is an application
// of its own with its own queue, listen and connect requests are confirmed
// at once, and tests queue incoming calls for the listening application.
#pragma once

#include "CapiDriver.h"

#include <QByteArray>

#include <condition_variable>
#include <deque>
#include <map>
#include <mutex>
#include <vector>

class FakeLineDriver final : public ICapiDriver
{
public:
    struct Put
    {
        unsigned applId;
        QByteArray message;
        uint16_t Code() const { return message.size() >= 6 ? uint16_t(uint8_t(message[4]) | uint8_t(message[5]) << 8) : 0; }
    };

    // --- scripting (any thread)
    void FailRegistrations(unsigned rc) { std::lock_guard lock(m_mutex); m_registerResult = rc; }
    void FailConnects(unsigned rc) { std::lock_guard lock(m_mutex); m_connectResult = rc; }
    // A remote server that takes the connection and says nothing: the calls
    // named never return until Unstick(), and then go on as if answered
    // late. A silent listen is taken but never confirmed.
    enum SilentCall : unsigned { SilentRegister = 1, SilentListen = 2, SilentQueries = 4 };
    void Silence(unsigned calls) { std::lock_guard lock(m_mutex); m_silent = calls; }
    void Unstick();
    int SilentCallsWaiting() const;
    // The driver is gone: waits, fetches and registrations fail with `rc`
    // until it is back (0).
    void FailDriver(unsigned rc);
    // A CONNECT_IND for the application that listened.
    void QueueIncomingCall(uint8_t plci, uint16_t cip, const QByteArray& called, const QByteArray& calling,
                           const QByteArray& text);
    void QueueTo(unsigned applId, const QByteArray& message);
    unsigned ListeningAppl() const;
    unsigned ConnectingAppl() const;

    // --- recording (any thread)
    std::vector<Put> Puts() const;
    std::vector<Put> PutsWith(uint16_t code) const;
    std::vector<unsigned> Released() const;
    // Blocks until `count` messages were put with `code`, or times out.
    bool WaitForPuts(uint16_t code, size_t count, int milliseconds) const;
    int Pending(unsigned applId) const;
    // Every registered application's thread waits for its next message.
    bool Idle() const;

    // --- ICapiDriver
    unsigned Register(unsigned, unsigned, unsigned, unsigned, unsigned* applId) override;
    unsigned Release(unsigned applId) override;
    unsigned PutMessage(unsigned applId, const uint8_t* message) override;
    unsigned GetMessage(unsigned applId, const uint8_t** message, size_t* readable) override;
    unsigned WaitForSignal(unsigned applId) override { return WaitForSignalFor(applId, -1); }
    unsigned WaitForSignalFor(unsigned applId, int milliseconds) override;
    unsigned GetManufacturer(unsigned, char* buffer64) override;
    unsigned GetVersion(unsigned, uint32_t version[4]) override;
    unsigned GetSerialNumber(unsigned, char* buffer8) override;
    unsigned GetProfile(unsigned, uint8_t* buffer64) override;
    unsigned Installed() override { return 0; }
    void Wake(unsigned applId) override;

private:
    struct Appl
    {
        std::deque<QByteArray> queue;
        QByteArray current; // the fetched message, readable until the next fetch
        bool woken = false;
        bool released = false;
        int waiting = 0; // threads in WaitForSignal
    };
    void QueueLocked(unsigned applId, const QByteArray& message);
    void StallIfSilent(std::unique_lock<std::mutex>& lock, unsigned call);

    mutable std::mutex m_mutex;
    mutable std::condition_variable m_cv;
    std::map<unsigned, Appl> m_appls;
    std::vector<Put> m_puts;
    std::vector<unsigned> m_released;
    unsigned m_nextId = 1;
    unsigned m_registerResult = 0;
    unsigned m_connectResult = 0;
    unsigned m_driverResult = 0;
    unsigned m_listening = 0;
    unsigned m_connecting = 0;
    uint8_t m_nextPlci = 1;
    unsigned m_silent = 0;
    bool m_unstuck = false;
    int m_stalled = 0;
};

// A received message: header with the code and address, then parameters.
QByteArray CapiMessage(uint16_t code, unsigned applId, uint8_t plci, const QByteArray& params = {});
