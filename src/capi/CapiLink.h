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
class CDriverCall;

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

    // How long a driver call may go unanswered before it counts as failed.
    struct Bounds
    {
        int registerMs = 5000;
        int listenMs = 3000; // the LISTEN_CONF
        int releaseMs = 2000;
        int queryMs = 3000;  // each identity query
    };
    // What links made from now on start with (tests make them short).
    static void SetDefaultBounds(const Bounds& bounds);
    static Bounds DefaultBounds();
    void SetBounds(const Bounds& bounds) { m_bounds = bounds; }
    const Bounds& GetBounds() const { return m_bounds; }

    // Binding and registration. Each driver call is bounded; one that does
    // not answer in time fails, with a status line that says so. A link that
    // never registered releases without calling the driver.
    bool LoadCAPIDll();
    bool SetCAPIOwner(ICapiOwner* owner);
    bool RegisterCAPIAppl();
    bool ReleaseCAPIAppl();
    bool GetCAPIManufacturer(std::string& manufacturer);
    bool GetCAPISerialNumber(std::string& serial);
    bool GetCAPIVersion(std::string& version);
    bool GetCAPIProfile(std::string& line1, std::string& line2, std::string& line3);

    // The same in two halves, for an owner whose thread must not wait:
    // Begin... sets the driver to work and returns at once, with the call
    // that tells when the answer (or its bound) has come; End... then does on
    // the owner's thread what the one-piece operation does, waiting for the
    // rest of the bound if need be. A call unanswered by then is given up.
    std::shared_ptr<CDriverCall> BeginRegister();
    bool EndRegister(CDriverCall& call);
    std::shared_ptr<CDriverCall> BeginListen();
    bool EndListen(CDriverCall& call);
    enum class Query { Manufacturer, SerialNumber, Version, Profile };
    std::shared_ptr<CDriverCall> BeginQuery(Query query) const;
    bool EndGetCAPIManufacturer(CDriverCall& call, std::string& manufacturer);
    bool EndGetCAPISerialNumber(CDriverCall& call, std::string& serial);
    bool EndGetCAPIVersion(CDriverCall& call, std::string& version);
    bool EndGetCAPIProfile(CDriverCall& call, std::string& line1, std::string& line2, std::string& line3);

    // Requests. A link that holds no application (its registration failed)
    // refuses them without calling the driver.
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
    // The message the dispatcher handled last: its code, its Info (0xFFFF
    // when too short to have one) and the PLCI octet of its address. Read
    // while handling its notification, it is that message's: a CONNECT_CONF
    // on NC_MESSAGE, the DISCONNECT_IND on NC_CALL_CLEARED.
    struct HandledMessage
    {
        uint16_t code = 0;
        uint16_t info = 0;
        uint8_t plci = 0;
    };
    HandledMessage LastMessage() const;
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
    void SetListenTimeout(int milliseconds) { m_bounds.listenMs = milliseconds; }

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
    HandledMessage m_lastMessage;        // guarded by m_mutex
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
    ListenState m_listenState = ListenState::Idle; // guarded by m_mutex
    // Answered when the LISTEN_CONF has been handled, or the thread ended.
    std::shared_ptr<CDriverCall> m_listenCall; // guarded by m_mutex
    uint16_t m_dataHandle = 0;           // dispatcher only (under m_dispatchMutex)
    Bounds m_bounds;                     // owner's thread only

    // Serialises fetching and handling of this application's messages: the
    // receive thread and ListenCAPIAppl must never fetch at the same time.
    std::mutex m_dispatchMutex;
    // libcapi20 is not known to be safe for puts from two threads at once;
    // also keeps puts off an id that an outage released.
    std::mutex m_putMutex;

    std::function<void(const std::string&)> m_logObserver; // set before the thread starts
};
