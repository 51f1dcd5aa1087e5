// An in-process driver with the ten operations: it scripts results and
// queued messages and records every message put to it.
#pragma once

#include "CapiDriver.h"

#include <QByteArray>

#include <condition_variable>
#include <deque>
#include <mutex>
#include <vector>

class FakeCapiDriver final : public ICapiDriver
{
public:
    FakeCapiDriver();
    ~FakeCapiDriver() override;

    // --- scripting (any thread)
    void Queue(const QByteArray& message);          // wakes a waiter
    void QueueHex(const char* hex) { Queue(QByteArray::fromHex(hex)); }
    // Like libcapi20 on 64-bit: the data follow the message in the driver's
    // buffer and Data64 (offset 22) points at them.
    void QueueWithData(const QByteArray& message, const QByteArray& data);
    // Queues `reply` whenever a message with this code is put.
    void SetReply(uint16_t requestCode, const QByteArray& reply);
    void SetRegisterResult(unsigned rc, unsigned applId);
    void SetReleaseResult(unsigned rc);
    // Results of the next puts, in order; afterwards puts succeed.
    void FailNextPuts(std::vector<unsigned> results);
    // Wait and fetch fail at once, every time (a vanished remote server).
    void SetBroken(bool broken);
    void SetIdentity(const char* manufacturer, const char* serial, std::vector<uint32_t> version,
                     QByteArray profile, unsigned queryResult = 0);
    // Queued messages are handed out with this many octets of driver buffer
    // (0 = exactly the message).
    void SetReadableExtra(size_t extra);

    // --- recording (any thread)
    std::vector<QByteArray> Puts() const;
    QByteArray LastPut() const;
    std::vector<unsigned> Released() const;
    int WaitsInProgress() const;
    int GetCalls() const;
    int WakeCalls() const;
    // Blocks until some thread sits in WaitForSignal, or times out.
    bool WaitUntilWaiting(int milliseconds) const;

    // --- ICapiDriver
    unsigned Register(unsigned, unsigned, unsigned, unsigned, unsigned* applId) override;
    unsigned Release(unsigned applId) override;
    unsigned PutMessage(unsigned applId, const uint8_t* message) override;
    unsigned GetMessage(unsigned applId, const uint8_t** message, size_t* readable) override;
    unsigned WaitForSignal(unsigned applId) override;
    unsigned WaitForSignalFor(unsigned applId, int milliseconds) override;
    unsigned GetManufacturer(unsigned controller, char* buffer64) override;
    unsigned GetVersion(unsigned controller, uint32_t version[4]) override;
    unsigned GetSerialNumber(unsigned controller, char* buffer8) override;
    unsigned GetProfile(unsigned controller, uint8_t* buffer64) override;
    unsigned Installed() override { return 0; }
    void Wake(unsigned applId) override;

private:
    mutable std::mutex m_mutex;
    mutable std::condition_variable m_cv;
    struct Queued
    {
        QByteArray message;
        QByteArray data; // appended, with Data64 aimed at it, when not null
    };
    std::deque<Queued> m_queue;
    std::vector<std::pair<uint16_t, QByteArray>> m_replies;
    QByteArray m_current; // the fetched message, valid until the next fetch
    std::vector<QByteArray> m_puts;
    std::vector<unsigned> m_putResults;
    std::vector<unsigned> m_released;
    unsigned m_registerResult = 0;
    unsigned m_registerId = 7;
    unsigned m_releaseResult = 0;
    bool m_broken = false;
    bool m_woken = false;
    int m_waiting = 0;
    int m_getCalls = 0;
    int m_wakeCalls = 0;
    size_t m_readableExtra = 0;
    QByteArray m_manufacturer = "Fake CAPI";
    QByteArray m_serial = "0000001";
    std::vector<uint32_t> m_version = {2, 0, 1, 10};
    QByteArray m_profile;
    unsigned m_queryResult = 0;
};
