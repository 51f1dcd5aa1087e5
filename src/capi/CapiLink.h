// One CAPI 2.0 application: registration, the requests it composes, its
// receive thread and the dispatcher that answers the driver's messages.
#pragma once

#include <condition_variable>
#include <cstdint>
#include <functional>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

class CCapiLink;

// The owner's notification message (WM_USER + 1).
constexpr unsigned WM_CAPI_NOTIFY = 0x0400 + 1;

// First parameter of WM_CAPI_NOTIFY.
enum : unsigned {
    NC_MESSAGE = 0,
    NC_CALL_INFO = 0x200A,
    NC_CALL_CLEARED = 0x2070,
    // Not a driver message: the link lost its connection to the driver, or
    // has it back (registered again and, if it listened, listening again).
    // IsLinkDown() says which. Delivered like the others.
    NC_LINK_STATE = 0x2100,
};

// The window a link notifies. A receive thread hands each notification to the
// owner's thread and waits until the owner has handled it.
class ICapiOwner
{
public:
    virtual ~ICapiOwner() = default;

    // On the owner's thread: WM_CAPI_NOTIFY with `code` from `link`. The
    // link's call data stay put until this returns.
    virtual void OnCapiNotify(CCapiLink& link, unsigned code) = 0;

    // From a receive thread: run `task` on the owner's thread soon. Must not
    // block. The owner's thread is the one that stops and destroys the link;
    // a task that runs after that finds itself cancelled and does nothing.
    virtual void PostToOwner(std::function<void()> task) = 0;
};

class CCapiLink
{
public:
    CCapiLink();
    virtual ~CCapiLink();

    CCapiLink(const CCapiLink&) = delete;
    CCapiLink& operator=(const CCapiLink&) = delete;

    // Binding and registration
    bool LoadCAPIDll();
    bool SetCAPIOwner(ICapiOwner* owner);
    bool RegisterCAPIAppl();
    bool ReleaseCAPIAppl();
    bool GetCAPIManufacturer(std::string& manufacturer);
    bool GetCAPISerialNumber(std::string& serial);
    bool GetCAPIVersion(std::string& version);
    bool GetCAPIProfile(std::string& line1, std::string& line2, std::string& line3);

    // Requests
    bool ListenCAPIAppl();
    bool ConnectCAPICall(std::string number, std::string text, uint16_t cip);
    bool SubmitCAPIMsg(uint16_t code);
    // `structure` starts with its length octet; `length` is that octet's
    // value, or less when the message ends before the structure does.
    void ExtractCAPIStruct(uint8_t length, const uint8_t* structure);

    // Receive thread and dispatcher
    bool StartCAPIThread();
    bool StopCAPIThread();
    bool ReceiveCAPIMsg();

    // Snapshots for any thread.
    std::string LogLine() const;
    std::string ErrorText() const;
    std::string StructText() const;
    std::string CallingNumber() const;
    // Type of number of the Calling party number (bits 7-5 of its first
    // octet, Q.931) as one decimal digit: "0" unknown, "1" international,
    // "2" national, "4" subscriber; empty when the call had no number.
    std::string CallingNumberType() const;
    std::string CalledNumber() const;
    std::string CallText() const;
    std::string CallType() const;
    uint8_t Plci() const;
    uint16_t Ncci() const;
    unsigned ApplId() const;
    // Reason of the last DISCONNECT_IND (how the network cleared the call).
    uint16_t LastDisconnectReason() const;
    uint16_t Controller() const { return m_controller; }
    bool IsRegistered() const;
    bool IsThreadRunning() const;
    // The link lost its driver connection and has not got it back yet; its
    // receive thread keeps registering (and listening) again meanwhile.
    bool IsLinkDown() const;

    // Sees every status line as it is written (any thread). For logs and
    // tests; set before the thread starts.
    void SetLogObserver(std::function<void(const std::string&)> observer);
    // How long ListenCAPIAppl waits for its confirmation.
    void SetListenTimeout(int milliseconds) { m_listenTimeoutMs = milliseconds; }

    // Text of a CIP value, or nullptr for an unlisted one.
    static const char* CallTypeText(uint16_t cip);

private:
    struct Ticket;
    struct StopEvent;
    enum class ListenState { Idle, Waiting, Ok, Failed };
    enum class Fetch { Handled, QueueEmpty, Failed };
    // Live: the driver holds m_applId. Lost: the receive thread released it
    // after an outage, and the id may be someone else's by now.
    enum class ApplState { None, Live, Lost };
    enum class Run { Go, Stopped, CutOff };

    bool Dispatch(const uint8_t* msg, size_t size, size_t readable, std::vector<unsigned>& notifications);
    bool HandleConnectInd(const uint8_t* msg, size_t size, std::vector<unsigned>& notifications);
    bool HandleDataB3Ind(const uint8_t* msg, size_t size, size_t readable);
    bool ReceiveOne(Fetch* outcome, std::vector<unsigned>& notifications, bool quietWhenEmpty = false,
                    unsigned* error = nullptr);
    void Deliver(unsigned code);
    void ThreadProc(const std::shared_ptr<StopEvent>& stop);
    bool ReceiveLoop(StopEvent& stop);
    Run Recover(StopEvent& stop, int& retryMs);
    bool Notify(StopEvent& stop, unsigned code);
    void DropRegistration();
    void LinkLost(const std::string& why);
    bool WaitForThreadEnd(int milliseconds);
    void EndThread(int milliseconds);
    bool Put(const uint8_t* message, const char* failureFormat);
    void Log(std::string line);
    template <typename... Args>
    void Logf(const char* format, Args... args);
    uint32_t Address() const;
    // A copy of a field guarded by m_mutex.
    template <typename T>
    T Locked(const T& field) const
    {
        std::lock_guard lock(m_mutex);
        return field;
    }

    // Guards every field below that the receive thread and the owner's
    // thread share; never held while calling the driver or the owner.
    mutable std::mutex m_mutex;

    uint8_t m_plci = 0;                  // guarded by m_mutex
    std::string m_logLine;               // guarded by m_mutex
    std::string m_errorText;             // guarded by m_mutex
    std::string m_structText;            // guarded by m_mutex
    std::string m_callingNumber;         // guarded by m_mutex
    std::string m_callingNumberType;     // guarded by m_mutex
    std::string m_callText;              // guarded by m_mutex
    std::string m_calledNumber;          // guarded by m_mutex
    std::string m_callType;              // guarded by m_mutex
    uint16_t m_ncci = 0;                 // guarded by m_mutex
    uint16_t m_lastReason = 0;           // guarded by m_mutex
    const uint16_t m_controller = 1;     // never changes
    unsigned m_applId = 0;               // guarded by m_mutex
    ApplState m_applState = ApplState::None; // guarded by m_mutex; changed under m_putMutex too
    bool m_registered = false;           // guarded by m_mutex
    bool m_listening = false;            // guarded by m_mutex: listen again after an outage
    bool m_relistening = false;          // guarded by m_mutex: that LISTEN_CONF is awaited
    std::unique_ptr<std::thread> m_pThread; // owner's thread only
    ICapiOwner* m_pOwner = nullptr;      // set before the thread starts, then read-only
    // Shared with the receive thread, which keeps it when it is cut off:
    // the stop signal, the wake-up descriptor, the thread's end.
    std::shared_ptr<StopEvent> m_stopEvent; // owner's thread only (the pointer)
    bool m_threadExited = false;         // guarded by m_mutex
    bool m_linkDown = false;             // guarded by m_mutex
    std::shared_ptr<Ticket> m_pending;   // guarded by m_mutex: the notification in flight
    std::condition_variable m_changed;   // on m_mutex: thread exit, listen outcome
    ListenState m_listenState = ListenState::Idle; // guarded by m_mutex
    uint16_t m_dataHandle = 0;           // dispatcher only (under m_dispatchMutex)
    int m_listenTimeoutMs = 3000;        // owner's thread only

    // Serialises fetching and handling of this application's messages: the
    // receive thread and ListenCAPIAppl must never fetch at the same time.
    std::mutex m_dispatchMutex;
    // libcapi20 is not known to be safe for puts from two threads at once;
    // also keeps puts off an id that an outage released.
    std::mutex m_putMutex;

    std::function<void(const std::string&)> m_logObserver; // set before the thread starts
};
