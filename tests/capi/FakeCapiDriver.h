// An in-process driver with the ten operations: it scripts results and
// queued messages and records every message put to it.
#pragma once

#include "CapiDriver.h"

#include <QByteArray>

#include <condition_variable>
#include <deque>
#include <functional>
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
    // A vanished remote server: the wait returns at once and the fetch fails
    // with `fetchError` (0x1104: end of stream), every time; registering
    // fails with 0x1009 until the driver works again.
    void SetBroken(bool broken, unsigned fetchError = 0x1104);
    // What gets a thread out of WaitForSignal(For).
    enum class WakeMode {
        Wakes,       // Wake, a message, or the time-out
        Unwakeable,  // Wake does nothing (/dev/capi20); a message or the time-out
        OnlyRelease, // nothing but Release: no time-out either
        Never,       // nothing but Unstick()
    };
    void SetWakeMode(WakeMode mode);
    // Calls that never return until Unstick(), as libcapi20's do against a
    // remote server that takes the connection and says nothing. Afterwards
    // they go on as if the answer had come late.
    enum SilentCall : unsigned { SilentRegister = 1, SilentRelease = 2, SilentQueries = 4 };
    void SetSilent(unsigned calls);
    void Unstick();
    // A descriptor the receive thread is to wait on (a pipe standing in for
    // /dev/capi20); each fetch reads one octet from it.
    void SetDescriptor(int fd);
    // Called on the releasing thread, before Release records anything.
    void SetReleaseHook(std::function<void()> hook);
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
    // Calls of WaitForSignal and WaitForSignalFor so far, and those that
    // have not returned yet.
    int SignalWaits() const;
    int ThreadsInWait() const;
    // Calls sitting in a silent driver now, and identity queries so far.
    int SilentCallsWaiting() const;
    int Queries() const;
    struct RegisterParams
    {
        unsigned messageBufferSize, maxLogicalConnection, maxBDataBlocks, maxBDataLen;
    };
    std::vector<RegisterParams> Registrations() const;
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
    int WaitDescriptor(unsigned) override;

private:
    void StallIfSilent(std::unique_lock<std::mutex>& lock, unsigned call);

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
    unsigned m_fetchError = 0x1104;
    bool m_woken = false;
    bool m_releasedSignal = false; // a Release since the last Register
    bool m_unstuck = false;
    unsigned m_silent = 0;
    int m_stalled = 0;
    int m_queries = 0;
    WakeMode m_wakeMode = WakeMode::Wakes;
    int m_fd = -1;
    std::function<void()> m_releaseHook;
    std::vector<RegisterParams> m_registrations;
    int m_signalWaits = 0;
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
