// A minimal remote-CAPI server on 127.0.0.1 for tests that drive the real
// libcapi20 in "rcapi" mode. It serves on its own thread, because the link's
// receive thread blocks inside libcapi20 while the test thread must keep
// talking to it. Framing comes from the exchange's Frames.h.
#pragma once

#include "Frames.h"

#include <QByteArray>

#include <condition_variable>
#include <cstdint>
#include <deque>
#include <mutex>
#include <string>
#include <string_view>
#include <thread>
#include <vector>

class RemoteCapiResponder
{
public:
    // What a CAPI_REGISTER frame asked for.
    struct Registration
    {
        uint16_t messageBufferSize = 0;
        uint16_t maxLogicalConnection = 0;
        uint16_t maxBDataBlocks = 0;
        uint16_t maxBDataLen = 0;
        int frameLength = 0; // the whole frame, prefix included
    };
    // A management request: its command word and controller.
    struct ControlRequest
    {
        uint8_t command = 0; // 0xfa manufacturer, 0xfc version, 0xfe serial, 0xe0 profile
        uint32_t controller = 0;
    };

    RemoteCapiResponder();
    ~RemoteCapiResponder();

    RemoteCapiResponder(const RemoteCapiResponder&) = delete;
    RemoteCapiResponder& operator=(const RemoteCapiResponder&) = delete;

    // Listens on an ephemeral port and starts serving; false with the reason
    // in Error() when the socket could not be set up. The thread gives up by
    // itself after `lifetimeMs` so that a stuck test cannot keep it forever.
    bool Start(int lifetimeMs = 120000);
    void Stop();
    uint16_t Port() const { return m_port; }
    std::string Error() const;

    // --- answers (set before the client asks)
    void SetIdentity(const QByteArray& manufacturer, const QByteArray& serial, const uint32_t version[4],
                     const QByteArray& profile64);
    // Info of the LISTEN_CONF sent for every LISTEN_REQ.
    void SetListenInfo(uint16_t info);

    // --- the current application connection (the one that registered last)
    // Sends one CAPI message as one frame; false when no application is
    // connected or the send failed.
    bool SendToApplication(const QByteArray& message);
    // Closes the application's connection from the server side.
    void CloseApplication();
    // Waits until the application's connection reached EOF from the client.
    bool WaitForApplicationEof(int milliseconds);
    int Registrations() const;
    Registration LastRegistration() const;

    // --- what arrived (any connection)
    // Removes and returns the oldest CAPI message with this code, waiting up
    // to `milliseconds`; empty when none came.
    QByteArray TakeMessage(uint16_t code, int milliseconds);
    std::vector<QByteArray> Messages() const;
    std::vector<ControlRequest> ControlRequests() const;
    // Frames that broke the protocol (bad lengths, unknown control commands).
    std::vector<std::string> Violations() const;
    // Forgets what was recorded; answers and connections stay.
    void ClearRecords();

private:
    struct Connection
    {
        int fd = -1;
        exchange::FrameAssembler frames;
        bool application = false;
    };

    void Serve(int lifetimeMs);
    void Wakeup();
    void HandleReadable(Connection& c);
    void HandleFrame(Connection& c, const QByteArray& payload);
    bool Send(int fd, std::string_view frame);
    void HandleControl(Connection& c, const QByteArray& payload);
    void HandleMessage(Connection& c, const QByteArray& message);
    void CloseConnection(Connection& c);
    void Violation(std::string text);

    int m_listenFd = -1;
    int m_wakePipe[2] = {-1, -1};
    uint16_t m_port = 0;
    std::thread m_thread;

    mutable std::mutex m_mutex;
    std::condition_variable m_changed;  // on m_mutex: records, EOF
    bool m_stop = false;                // guarded by m_mutex
    bool m_closeApplication = false;    // guarded by m_mutex
    std::deque<Connection> m_connections; // serving thread only
    // The serving thread opens and closes fds; it closes the application's
    // under m_mutex, so a sender on another thread never uses a stale fd.
    int m_applicationFd = -1;             // guarded by m_mutex
    bool m_applicationEof = false;        // guarded by m_mutex
    int m_registrations = 0;              // guarded by m_mutex
    Registration m_lastRegistration;      // guarded by m_mutex
    std::vector<QByteArray> m_messages;   // guarded by m_mutex
    std::vector<ControlRequest> m_controls; // guarded by m_mutex
    std::vector<std::string> m_violations;  // guarded by m_mutex
    std::string m_error;                  // guarded by m_mutex

    // Answers; guarded by m_mutex.
    QByteArray m_manufacturer = "Responder";
    QByteArray m_serial = "0000000";
    uint32_t m_version[4] = {2, 0, 0, 0};
    QByteArray m_profile = QByteArray(64, '\0');
    uint16_t m_listenInfo = 0;
};
