#include "CapiLink.h"

#include "CapiBindingPlatform.h"
#include "CapiDefs.h"
#include "CapiDriver.h"
#include "CapiRequests.h"
#include "DriverCall.h"
#include "Platform.h"

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <system_error>

using namespace capi;

namespace {

// What the link asks of the driver when it registers.
constexpr unsigned kRegisterBufferSize = 3072;
constexpr unsigned kMaxLogicalConnections = 2;
constexpr unsigned kMaxBDataBlocks = 16;
constexpr unsigned kMaxBDataLen = 128;

// Links made from now on take these.
CCapiLink::Bounds g_defaultBounds; // owner's thread only

// A driver call that waits for an answer runs on a thread of its own, which
// holds the driver (bound for the whole process; tests keep their fake
// until CDriverCall::Running() is 0). The stand-in that no library is bound
// to answers at once, here.
using DriverWork = std::function<void(ICapiDriver&, CDriverCall&, DriverAnswer&)>;
using DriverUndo = std::function<void(ICapiDriver&, const DriverAnswer&)>;

std::shared_ptr<CDriverCall> StartCall(int boundMs, DriverWork work, DriverUndo undo = {})
{
    ICapiDriver& driver = CapiBinding::Driver();
    CDriverCall::Work run = [&driver, work = std::move(work)](CDriverCall& self, DriverAnswer& answer) {
        work(driver, self, answer);
    };
    if (!CapiBinding::IsBound())
        return CDriverCall::Now(run);
    CDriverCall::Undo undone;
    if (undo)
        undone = [&driver, undo = std::move(undo)](const DriverAnswer& answer) { undo(driver, answer); };
    return CDriverCall::Start(boundMs, std::move(run), std::move(undone));
}

// The identity queries share libcapi20's one management connection: never
// two of them there at once, and while one that was given up is still stuck
// there, the next ones fail at once instead of queueing behind it.
struct QueryLane
{
    std::mutex order; // held across each query's driver call
    std::mutex mutex;
    const CDriverCall* inDriver = nullptr; // guarded by mutex; alive while set
};

QueryLane& Lane()
{
    static QueryLane* lane = new QueryLane; // threads left behind may outlive statics
    return *lane;
}

// A driver that fails this many fetches in a row has lost its connection.
constexpr int kMaxFailedFetches = 3;
// Pause after a failed fetch, doubled each time up to the cap.
constexpr int kFirstBackoffMs = 10;
constexpr int kMaxBackoffMs = 1000;
// Pause before each new registration after an outage, doubled up to the cap.
constexpr int kFirstRetryMs = 100;
constexpr int kMaxRetryMs = 2000;
// Where the driver has no descriptor to wait on, the thread waits this long
// at a time and looks at the stop signal in between.
constexpr int kWaitSliceMs = 20;
// How long the owner's thread waits for a receive thread: after the stop
// signal, before it releases (a thread out of the driver by then cannot read
// freed buffers), and after the release (a driver whose release is what
// wakes it). A thread still there is left to end on its own.
constexpr int kStopWaitMs = 20;
constexpr int kReleaseWaitMs = 15;

template <typename... Args>
std::string Format(const char* format, Args... args)
{
    char buffer[256];
    const int n = std::snprintf(buffer, sizeof buffer, format, args...);
    if (n < 0)
        return std::string();
    return std::string(buffer, std::min<size_t>(size_t(n), sizeof buffer - 1));
}

bool ReadU16(const uint8_t* msg, size_t size, size_t offset, uint16_t& value)
{
    if (size < offset + 2)
        return false;
    value = GetU16(msg + offset);
    return true;
}

struct CipText
{
    uint16_t cip;
    const char* text;
};

constexpr CipText kCallTypes[] = {
    {1, "speech-mobiele telefonie"},
    {2, "Unrestricted digital information"},
    {4, "Analoge-telefoon-3.1kHz"},
    {5, "Incoming 7.0 kHz audio"},
    {6, "Incoming video call"},
    {16, "ISDN-Telefonie"},
    {17, "Fax-groep-2/3"},
    {18, "ISDN-Fax-groep-4"},
    {26, "7kHz-Telefoon"},
};

} // namespace

// A notification handed to the owner's thread. The receive thread waits on
// it until the owner is done or the link is stopping.
struct CCapiLink::Ticket
{
    std::mutex mutex;
    std::condition_variable cv;
    bool done = false;      // guarded by mutex
    bool cancelled = false; // guarded by mutex
};

struct CCapiLink::StopEvent
{
    std::mutex mutex;
    std::condition_variable cv;
    bool set = false;    // guarded by mutex
    bool exited = false; // guarded by mutex
    capiplatform::WakeSignal wake;
    // Held by the thread whenever it works on its link or calls its owner;
    // whoever gives up on the thread sets cutOff under it, and from then on
    // the thread touches only this object and the driver.
    std::mutex attach;
    bool cutOff = false; // guarded by attach

    bool IsSet()
    {
        std::lock_guard lock(mutex);
        return set;
    }
    // False when the stop signal came first.
    bool SleepUnlessSet(int milliseconds)
    {
        std::unique_lock lock(mutex);
        return !cv.wait_for(lock, std::chrono::milliseconds(milliseconds), [this] { return set; });
    }
};

namespace {

enum class Waited { Ready, Idle, Stopped, Failed };

// Waits until the driver has something for the application (a message, or
// the end of its connection), the stop signal, or `milliseconds` (-1: no
// limit). Touches no link.
template <typename Stop>
Waited WaitForDriver(Stop& stop, unsigned applId, int milliseconds, unsigned* failure)
{
    ICapiDriver& driver = CapiBinding::Driver();
    const int wakeFd = stop.wake.Fd();
    const int fd = driver.WaitDescriptor(applId);
    if (fd >= 0) {
        // Without a wake-up descriptor, only in slices.
        const int wait = wakeFd >= 0 ? milliseconds : kWaitSliceMs;
        switch (capiplatform::WaitReadable(fd, wakeFd, wait)) {
        case capiplatform::Readable::Driver:
            return Waited::Ready;
        case capiplatform::Readable::Woken:
            return Waited::Stopped;
        case capiplatform::Readable::TimedOut:
            return stop.IsSet() ? Waited::Stopped : Waited::Idle;
        case capiplatform::Readable::Failed:
            *failure = ErrMsgOsResource;
            return Waited::Failed;
        }
    }
    const int slice = milliseconds < 0 ? kWaitSliceMs : std::min(milliseconds, kWaitSliceMs);
    if (driver.FetchNeverBlocks())
        return stop.SleepUnlessSet(slice) ? Waited::Ready : Waited::Stopped;
    const auto start = std::chrono::steady_clock::now();
    const unsigned rc = driver.WaitForSignalFor(applId, slice);
    if (stop.IsSet())
        return Waited::Stopped;
    if (rc == 0)
        return Waited::Ready;
    if (rc != ErrQueueEmpty) {
        *failure = rc;
        return Waited::Failed;
    }
    // A wait that comes back early with nothing would make the loop spin.
    const auto spent = std::chrono::steady_clock::now() - start;
    if (spent < std::chrono::milliseconds(slice / 2) &&
        !stop.SleepUnlessSet(slice - int(std::chrono::duration_cast<std::chrono::milliseconds>(spent).count())))
        return Waited::Stopped;
    return Waited::Idle;
}

} // namespace

CCapiLink::CCapiLink() : m_bounds(g_defaultBounds) {}

void CCapiLink::SetDefaultBounds(const Bounds& bounds) { g_defaultBounds = bounds; }
CCapiLink::Bounds CCapiLink::DefaultBounds() { return g_defaultBounds; }

CCapiLink::~CCapiLink()
{
    // Normally the owner stopped and released before; never leave a thread
    // behind that still points here.
    if (m_pThread) {
        StopCAPIThread();
        EndThread(kStopWaitMs);
    }
}

// ---------------------------------------------------------------- logging

void CCapiLink::Log(std::string line)
{
    {
        std::lock_guard lock(m_mutex);
        m_logLine = line;
    }
    if (m_logObserver)
        m_logObserver(line);
}

template <typename... Args>
void CCapiLink::Logf(const char* format, Args... args)
{
    Log(Format(format, args...));
}

void CCapiLink::SetLogObserver(std::function<void(const std::string&)> observer)
{
    m_logObserver = std::move(observer);
}

// ---------------------------------------------------------------- binding and registration

bool CCapiLink::LoadCAPIDll()
{
    if (CapiBinding::IsBound() || CapiBinding::Load())
        return true;
    CPlatform::Instance().ShowMessage(QStringLiteral("Laden van Capi2032.dll lukte niet!, probeer opnieuw"));
    return false;
}

bool CCapiLink::SetCAPIOwner(ICapiOwner* owner)
{
    m_pOwner = owner;
    return true;
}

bool CCapiLink::RegisterCAPIAppl() { return EndRegister(*BeginRegister()); }

std::shared_ptr<CDriverCall> CCapiLink::BeginRegister()
{
    return StartCall(
        m_bounds.registerMs,
        [](ICapiDriver& driver, CDriverCall&, DriverAnswer& answer) {
            answer.rc = driver.Register(kRegisterBufferSize, kMaxLogicalConnections, kMaxBDataBlocks, kMaxBDataLen,
                                        &answer.applId);
        },
        // Nobody else knows of a registration that came too late.
        [](ICapiDriver& driver, const DriverAnswer& answer) {
            if (answer.rc == 0)
                driver.Release(answer.applId);
        });
}

bool CCapiLink::EndRegister(CDriverCall& call)
{
    DriverAnswer answer;
    if (!call.Take(&answer)) {
        Logf("RegisterCAPIAppl: CAPI_REGISTER failed, no answer within %d ms.", call.BoundMs());
        return false;
    }
    const unsigned rc = answer.rc;
    const unsigned applId = answer.applId;
    if (rc != 0) {
        Logf("RegisterCAPIAppl: CAPI_REGISTER failed, error 0x%04X./n", rc);
        return false;
    }
    {
        std::lock_guard put(m_putMutex);
        std::lock_guard lock(m_mutex);
        m_applId = applId;
        m_applState = ApplState::Live;
        m_registered = true;
    }
    Logf("RegisterCAPIAppl: ApplId = %u.", applId);
    return true;
}

bool CCapiLink::ReleaseCAPIAppl()
{
    if (m_pThread) {
        // The thread should be out of the driver before release frees the
        // buffers it reads; the wake-up descriptor sees to that at once.
        StopCAPIThread();
        WaitForThreadEnd(kStopWaitMs);
    }
    unsigned applId;
    unsigned rc = 0;
    bool answered = true;
    {
        std::lock_guard put(m_putMutex);
        bool lost;
        {
            std::lock_guard lock(m_mutex);
            applId = m_applId;
            lost = m_applState == ApplState::Lost;
        }
        if (applId == 0) {
            // Never registered: id 0 is nobody's.
            rc = CapiBinding::IsBound() ? unsigned(ErrIllegalApplId) : kCapiNotBound;
        } else if (!lost) {
            // After an outage the thread released the id itself; it may
            // belong to another application now.
            DriverAnswer answer;
            answered = StartCall(m_bounds.releaseMs, [applId](ICapiDriver& driver, CDriverCall&, DriverAnswer& a) {
                           a.rc = driver.Release(applId);
                       })->Take(&answer);
            rc = answer.rc;
        }
        std::lock_guard lock(m_mutex);
        m_applState = ApplState::None;
        if (answered && rc == 0) {
            m_registered = false;
            m_linkDown = false;
        }
    }
    EndThread(kReleaseWaitMs);
    if (!answered) {
        Logf("ReleaseCAPIAppl: CAPI_RELEASE failed, no answer within %d ms.", m_bounds.releaseMs);
        return false;
    }
    if (rc != 0) {
        Logf("ReleaseCAPIAppl: CAPI_RELEASE failed, error 0x%04X.", rc);
        return false;
    }
    Logf("ReleaseCAPIAppl: ApplId =  %u released successfuly.", applId);
    return true;
}

bool CCapiLink::GetCAPIManufacturer(std::string& manufacturer)
{
    return EndGetCAPIManufacturer(*BeginQuery(Query::Manufacturer), manufacturer);
}

bool CCapiLink::GetCAPISerialNumber(std::string& serial)
{
    return EndGetCAPISerialNumber(*BeginQuery(Query::SerialNumber), serial);
}

bool CCapiLink::GetCAPIVersion(std::string& version)
{
    return EndGetCAPIVersion(*BeginQuery(Query::Version), version);
}

bool CCapiLink::GetCAPIProfile(std::string& line1, std::string& line2, std::string& line3)
{
    return EndGetCAPIProfile(*BeginQuery(Query::Profile), line1, line2, line3);
}

std::shared_ptr<CDriverCall> CCapiLink::BeginQuery(Query query) const
{
    {
        QueryLane& lane = Lane();
        std::lock_guard lock(lane.mutex);
        if (lane.inDriver && lane.inDriver->IsGivenUp())
            return CDriverCall::Unanswered(m_bounds.queryMs);
    }
    const unsigned controller = m_controller;
    return StartCall(m_bounds.queryMs, [query, controller](ICapiDriver& driver, CDriverCall& self, DriverAnswer& a) {
        QueryLane& lane = Lane();
        std::lock_guard order(lane.order);
        if (self.IsGivenUp())
            return; // nobody waits for it: the driver is not asked
        {
            std::lock_guard lock(lane.mutex);
            lane.inDriver = &self;
        }
        switch (query) {
        case Query::Manufacturer:
            a.rc = driver.GetManufacturer(controller, a.text);
            break;
        case Query::SerialNumber:
            a.rc = driver.GetSerialNumber(controller, a.text);
            break;
        case Query::Version:
            a.rc = driver.GetVersion(controller, a.version);
            break;
        case Query::Profile:
            a.rc = driver.GetProfile(controller, a.profile);
            break;
        }
        std::lock_guard lock(lane.mutex);
        lane.inDriver = nullptr;
    });
}

bool CCapiLink::EndGetCAPIManufacturer(CDriverCall& call, std::string& manufacturer)
{
    DriverAnswer a;
    if (!call.Take(&a)) {
        manufacturer.clear();
        Logf("GetCAPIManufacturer: CAPI_GET_MANUFACTURER failed, no answer within %d ms.", call.BoundMs());
        return false;
    }
    // The driver's result is not examined: the text is all there is.
    a.text[sizeof a.text - 1] = '\0';
    manufacturer = a.text;
    return true;
}

bool CCapiLink::EndGetCAPISerialNumber(CDriverCall& call, std::string& serial)
{
    DriverAnswer a;
    if (!call.Take(&a)) {
        serial = Format("CAPI_GET_SERIAL_NUMBER failed, no answer within %d ms.", call.BoundMs());
        return false;
    }
    if (a.rc != 0) {
        serial = Format("CAPI_GET_SERIAL_NUMBER failed, error 0x%04X.", a.rc);
        return false;
    }
    a.text[7] = '\0'; // an 8-octet buffer
    serial = std::string("CAPI serienummer is: ") + a.text;
    return true;
}

bool CCapiLink::EndGetCAPIVersion(CDriverCall& call, std::string& version)
{
    DriverAnswer a;
    if (!call.Take(&a)) {
        version = Format("CAPI_GET_VERSION failed, no answer within %d ms.", call.BoundMs());
        return false;
    }
    if (a.rc != 0) {
        version = Format("CAPI_GET_VERSION failed, error 0x%04X.", a.rc);
        return false;
    }
    const uint32_t* v = a.version;
    version = Format("CAPI ver %x.%x, Manufacturer number %x.%x.", v[0], v[1], v[2], v[3]);
    return true;
}

bool CCapiLink::EndGetCAPIProfile(CDriverCall& call, std::string& line1, std::string& line2, std::string& line3)
{
    DriverAnswer a;
    if (!call.Take(&a)) {
        Logf("GetCAPIProfile: CAPI_GET_PROFILE failed, no answer within %d ms.", call.BoundMs());
        return false;
    }
    if (a.rc != 0) {
        Logf("GetCAPIProfile: CAPI_GET_PROFILE failed, error 0x%04X./n", a.rc);
        return false;
    }
    // 0 u16 controllers, 2 u16 B channels, 4 u32 global options,
    // 8 u32 B1, 12 u32 B2, 16 u32 B3 protocol bits
    const uint8_t* profile = a.profile;
    line1 = Format("Aantal controllers: %u ; B1 Proto: 0x%04X", unsigned(GetU16(profile)), GetU32(profile + 8));
    line2 = Format("Aantal B-kanalen: %u ; B2 Proto: 0x%04X", unsigned(GetU16(profile + 2)), GetU32(profile + 12));
    line3 = Format("Algemene opties: 0x%04X ; B3 Proto: 0x%04X", GetU32(profile + 4), GetU32(profile + 16));
    return true;
}

// ---------------------------------------------------------------- requests

uint32_t CCapiLink::Address() const
{
    std::lock_guard lock(m_mutex);
    return capi::Address(static_cast<uint8_t>(m_controller), m_plci, m_ncci);
}

bool CCapiLink::Put(const uint8_t* message, const char* failureFormat)
{
    unsigned rc;
    {
        std::lock_guard put(m_putMutex);
        unsigned applId;
        bool lost;
        {
            std::lock_guard lock(m_mutex);
            applId = m_applId;
            lost = m_applState == ApplState::Lost;
        }
        // While the link is down its id is not its own; a link that never
        // registered has none (id 0 is nobody's).
        if (applId == 0)
            rc = CapiBinding::IsBound() ? unsigned(ErrIllegalApplId) : kCapiNotBoundMessage;
        else
            rc = lost ? unsigned(ErrIllegalApplId) : CapiBinding::Driver().PutMessage(applId, message);
    }
    if (rc != 0) {
        Logf(failureFormat, rc);
        return false;
    }
    return true;
}

bool CCapiLink::ListenCAPIAppl() { return EndListen(*BeginListen()); }

std::shared_ptr<CDriverCall> CCapiLink::BeginListen()
{
    uint8_t buffer[kMessageBufferSize];
    const unsigned applId = ApplId();
    EncodeListenReq(buffer, static_cast<uint16_t>(applId), Address());
    // The confirmation is fetched by the receive thread when it runs, which
    // answers the call; else EndListen fetches it here, once the driver says
    // it is there (libcapi20's fetch blocks on an empty queue).
    const bool threaded = IsThreadRunning();
    std::shared_ptr<CDriverCall> confirmed = threaded ? CDriverCall::Expect(m_bounds.listenMs) : nullptr;
    {
        std::lock_guard lock(m_mutex);
        m_listenState = ListenState::Waiting;
        m_listenCall = confirmed;
        // Ended already: nobody is going to fetch the confirmation.
        if (confirmed && m_threadExited)
            confirmed->Answer({});
    }
    if (!Put(buffer, "CAPI_PUT_MESSAGE failed, error 0x%04X.")) {
        std::lock_guard lock(m_mutex);
        m_listenState = ListenState::Idle;
        m_listenCall.reset();
        return CDriverCall::Answered({});
    }
    if (threaded)
        return confirmed;
    const int waitMs = m_bounds.listenMs;
    return StartCall(waitMs, [applId, waitMs](ICapiDriver& driver, CDriverCall&, DriverAnswer& a) {
        a.rc = driver.WaitForSignalFor(applId, waitMs);
    });
}

bool CCapiLink::EndListen(CDriverCall& call)
{
    DriverAnswer signalled;
    const bool answered = call.Take(&signalled);
    bool threaded;
    {
        std::lock_guard lock(m_mutex);
        if (m_listenState == ListenState::Idle)
            return false; // the request was refused; its line stands
        threaded = m_listenCall.get() == &call;
        m_listenCall.reset();
    }
    bool fetched = false;
    bool handled = false;
    if (!threaded && answered && signalled.rc == 0) {
        fetched = true;
        handled = ReceiveCAPIMsg();
    }
    ListenState outcome;
    {
        std::lock_guard lock(m_mutex);
        outcome = m_listenState;
        m_listenState = ListenState::Idle;
        if (outcome == ListenState::Ok)
            m_listening = true;
    }
    if (outcome == ListenState::Waiting) {
        // Another message came first: its handling is the answer, and its
        // status line stays.
        if (fetched)
            return handled;
        Log("Appl. queue is empty, retry later.");
        return false;
    }
    return outcome == ListenState::Ok;
}

bool CCapiLink::ConnectCAPICall(std::string number, std::string text, uint16_t cip)
{
    if (number.size() > kMaxFieldLength || text.size() > kMaxFieldLength) {
        Logf("ConnectCAPICall: number or text longer than %d characters, not sent.", int(kMaxFieldLength));
        return false;
    }
    uint8_t buffer[kMessageBufferSize];
    EncodeConnectReq(buffer, static_cast<uint16_t>(ApplId()), Address(), cip, number, text);
    return Put(buffer, "CAPI_PUT_MESSAGE failed, error 0x%04X.");
}

bool CCapiLink::SubmitCAPIMsg(uint16_t code)
{
    uint8_t buffer[kMessageBufferSize];
    if (EncodeSubmitMessage(buffer, code, static_cast<uint16_t>(ApplId()), Address(), m_dataHandle) == 0) {
        Logf("SubmitCAPIMsg: Invalid Msg 0x%04X", unsigned(code));
        return false;
    }
    return Put(buffer, "SubmitCAPIMsg: CAPI_PUT_MESSAGE failed, error 0x%04X.");
}

void CCapiLink::ExtractCAPIStruct(uint8_t length, const uint8_t* structure)
{
    const uint8_t* p = structure + 1;
    const uint8_t* end = p + length;
    // Skip the type octet(s): up to and including the first with bit 7 set.
    // Without one, nothing is left to take.
    while (p < end && !(*p & 0x80))
        ++p;
    std::string text;
    if (p < end)
        text.assign(reinterpret_cast<const char*>(p + 1), reinterpret_cast<const char*>(end));
    std::lock_guard lock(m_mutex);
    m_structText = std::move(text);
}

// ---------------------------------------------------------------- receive thread

bool CCapiLink::StartCAPIThread()
{
    if (!IsRegistered()) {
        Log("StartCAPIThread: not registered, no receive thread started.");
        return false;
    }
    if (m_pThread) {
        if (IsThreadRunning())
            return true;
        EndThread(kStopWaitMs);
    }
    {
        std::lock_guard lock(m_mutex);
        m_threadExited = false;
        m_linkDown = false;
    }
    m_stopEvent = std::make_shared<StopEvent>();
    try {
        m_pThread = std::make_unique<std::thread>([this, stop = m_stopEvent] { ThreadProc(stop); });
    } catch (const std::system_error&) {
        m_stopEvent.reset();
        std::lock_guard lock(m_mutex);
        m_threadExited = true;
        return false;
    }
    return true;
}

bool CCapiLink::StopCAPIThread()
{
    std::shared_ptr<Ticket> pending;
    unsigned applId = 0;
    bool wake = false;
    {
        std::lock_guard lock(m_mutex);
        if (m_stopEvent) {
            // Set under m_mutex, so that a notification the thread hands
            // over is either refused or seen here as pending.
            std::lock_guard stopLock(m_stopEvent->mutex);
            wake = !m_stopEvent->set && m_applState == ApplState::Live;
            m_stopEvent->set = true;
        }
        pending = m_pending;
        applId = m_applId;
    }
    if (m_stopEvent) {
        m_stopEvent->cv.notify_all();
        m_stopEvent->wake.Signal();
    }
    if (pending) {
        // The owner may never run the task again (it is going away).
        {
            std::lock_guard lock(pending->mutex);
            pending->cancelled = true;
        }
        pending->cv.notify_all();
    }
    if (wake)
        CapiBinding::Driver().Wake(applId);
    return true;
}

bool CCapiLink::WaitForThreadEnd(int milliseconds)
{
    if (!m_stopEvent)
        return true;
    std::unique_lock lock(m_stopEvent->mutex);
    return m_stopEvent->cv.wait_for(lock, std::chrono::milliseconds(milliseconds),
                                    [this] { return m_stopEvent->exited; });
}

void CCapiLink::EndThread(int milliseconds)
{
    if (!m_pThread)
        return;
    if (WaitForThreadEnd(milliseconds)) {
        m_pThread->join();
    } else {
        // Stuck in the driver: it ends when the driver lets it, and by then
        // neither this link nor the owner may be there.
        {
            std::lock_guard attach(m_stopEvent->attach);
            m_stopEvent->cutOff = true;
        }
        m_pThread->detach();
        Log("Receive thread did not end; left to end on its own.");
    }
    m_pThread.reset();
    m_stopEvent.reset();
}

void CCapiLink::ThreadProc(const std::shared_ptr<StopEvent>& stop)
{
    ReceiveLoop(*stop);
    {
        std::lock_guard attach(stop->attach);
        if (!stop->cutOff) {
            std::shared_ptr<CDriverCall> listen;
            {
                std::lock_guard lock(m_mutex);
                m_threadExited = true;
                listen = m_listenCall;
            }
            // Nobody else will fetch the LISTEN_CONF now.
            if (listen)
                listen->Answer({});
        }
    }
    {
        std::lock_guard lock(stop->mutex);
        stop->exited = true;
    }
    stop->cv.notify_all();
}

// Returns when stopped, or when cut off from the link. Whatever touches the
// link or the owner runs under s.attach, and nothing under it blocks beyond
// handling one message the driver already has.
bool CCapiLink::ReceiveLoop(StopEvent& s)
{
    int failedFetches = 0;
    int backoffMs = kFirstBackoffMs;
    // Grows until a message gets through: a driver that takes registrations
    // and drops them at once is not asked ever faster.
    int retryMs = kFirstRetryMs;
    const bool neverBlocks = CapiBinding::Driver().FetchNeverBlocks();
    for (;;) {
        unsigned applId;
        bool live;
        {
            std::lock_guard attach(s.attach);
            if (s.cutOff)
                return false;
            if (s.IsSet())
                return true;
            std::lock_guard lock(m_mutex);
            applId = m_applId;
            live = m_applState == ApplState::Live;
        }
        if (!live) {
            const Run run = Recover(s, retryMs);
            if (run != Run::Go)
                return run == Run::Stopped;
            failedFetches = 0;
            backoffMs = kFirstBackoffMs;
            continue;
        }

        unsigned waitError = 0;
        const Waited waited = WaitForDriver(s, applId, -1, &waitError);
        if (waited == Waited::Stopped || waited == Waited::Idle)
            continue;

        std::vector<unsigned> notifications;
        std::string lost;
        bool fetched = true;
        bool back = false;
        {
            std::lock_guard attach(s.attach);
            if (s.cutOff)
                return false;
            if (s.IsSet())
                return true;
            Fetch outcome = Fetch::Failed;
            unsigned failure = waitError;
            if (waited == Waited::Ready)
                ReceiveOne(&outcome, notifications, neverBlocks, &failure);
            if (outcome == Fetch::Handled) {
                failedFetches = 0;
                backoffMs = kFirstBackoffMs;
                retryMs = kFirstRetryMs;
            } else if (outcome == Fetch::QueueEmpty) {
                if (neverBlocks)
                    fetched = false; // an idle poll, not a pass of its own
                else
                    // The driver said there was something, and the fetch
                    // found nothing: the stream has ended.
                    lost = "driver connection closed.";
            } else {
                if (++failedFetches >= kMaxFailedFetches)
                    lost = Format("%d fetches failed in a row, error 0x%04X.", failedFetches, failure);
            }
            {
                std::lock_guard lock(m_mutex);
                if (lost.empty() && m_relistening && m_listenState != ListenState::Waiting) {
                    // The LISTEN_CONF of a registration made after an outage.
                    m_relistening = false;
                    back = m_listenState == ListenState::Ok;
                    if (!back)
                        lost = "listen refused.";
                    m_listenState = ListenState::Idle;
                }
            }
            if (back) {
                // The line first, so that whoever sees the link up finds it.
                Logf("CAPI link up again: ApplId = %u.", applId);
                std::lock_guard lock(m_mutex);
                m_linkDown = false;
            }
        }
        if (!fetched)
            continue;
        for (unsigned code : notifications)
            if (!Notify(s, code))
                return false;
        if (!Notify(s, NC_MESSAGE))
            return false;
        if (back || !lost.empty()) {
            {
                std::lock_guard attach(s.attach);
                if (s.cutOff)
                    return false;
                if (!back)
                    LinkLost(lost);
            }
            if (!Notify(s, NC_LINK_STATE))
                return false;
            continue;
        }
        if (failedFetches > 0) {
            if (!s.SleepUnlessSet(backoffMs))
                continue;
            backoffMs = std::min(backoffMs * 2, kMaxBackoffMs);
        }
    }
}

// Under s.attach: gives the dead registration back, so that the driver frees
// its socket and buffers, and marks the link down.
void CCapiLink::LinkLost(const std::string& why)
{
    DropRegistration();
    Log("CAPI link down: " + why);
    std::lock_guard lock(m_mutex);
    m_linkDown = true;
    m_relistening = false;
}

void CCapiLink::DropRegistration()
{
    std::lock_guard put(m_putMutex);
    unsigned applId;
    {
        std::lock_guard lock(m_mutex);
        if (m_applState != ApplState::Live)
            return;
        m_applState = ApplState::Lost;
        applId = m_applId;
    }
    CapiBinding::Driver().Release(applId);
}

// Registers again, after a pause that grows with every failure, until the
// driver answers or the thread is stopped. A link that listened asks again;
// it is up once the LISTEN_CONF says so (ReceiveLoop).
CCapiLink::Run CCapiLink::Recover(StopEvent& s, int& retryMs)
{
    for (;;) {
        if (!s.SleepUnlessSet(retryMs))
            return Run::Stopped;
        retryMs = std::min(retryMs * 2, kMaxRetryMs);
        // Outside the attachment: without an answer libcapi20 waits for good.
        unsigned applId = 0;
        const unsigned rc = CapiBinding::Driver().Register(kRegisterBufferSize, kMaxLogicalConnections,
                                                            kMaxBDataBlocks, kMaxBDataLen, &applId);
        bool up = false;
        {
            std::lock_guard attach(s.attach);
            if (s.cutOff || s.IsSet()) {
                if (rc == 0)
                    CapiBinding::Driver().Release(applId); // nobody else knows of it
                return s.cutOff ? Run::CutOff : Run::Stopped;
            }
            if (rc != 0) {
                Logf("RegisterCAPIAppl: CAPI_REGISTER failed, error 0x%04X./n", rc);
                continue;
            }
            bool listen;
            {
                std::lock_guard put(m_putMutex);
                std::lock_guard lock(m_mutex);
                m_applId = applId;
                m_applState = ApplState::Live;
                listen = m_listening;
                m_relistening = listen;
                if (listen)
                    m_listenState = ListenState::Waiting;
            }
            Logf("RegisterCAPIAppl: ApplId = %u.", applId);
            if (listen) {
                uint8_t buffer[kMessageBufferSize];
                EncodeListenReq(buffer, static_cast<uint16_t>(applId), Address());
                if (!Put(buffer, "CAPI_PUT_MESSAGE failed, error 0x%04X.")) {
                    DropRegistration();
                    std::lock_guard lock(m_mutex);
                    m_relistening = false;
                    m_listenState = ListenState::Idle;
                    continue;
                }
                return Run::Go;
            }
            Logf("CAPI link up again: ApplId = %u.", applId);
            std::lock_guard lock(m_mutex);
            m_linkDown = false;
            up = true;
        }
        if (up)
            return Notify(s, NC_LINK_STATE) ? Run::Go : Run::CutOff;
    }
}

// From the receive thread: hands a notification to the owner's thread and
// waits until it was handled, or the link is stopping. False when cut off.
bool CCapiLink::Notify(StopEvent& s, unsigned code)
{
    auto ticket = std::make_shared<Ticket>();
    {
        std::lock_guard attach(s.attach);
        if (s.cutOff)
            return false;
        ICapiOwner* owner = m_pOwner;
        if (!owner)
            return true;
        {
            std::lock_guard lock(m_mutex);
            if (s.IsSet())
                return true; // nobody is going to handle it any more
            m_pending = ticket;
        }
        owner->PostToOwner([ticket, owner, this, code] {
            {
                std::lock_guard lock(ticket->mutex);
                if (ticket->cancelled)
                    return; // the link may be gone
            }
            owner->OnCapiNotify(*this, code);
            {
                std::lock_guard lock(ticket->mutex);
                ticket->done = true;
            }
            ticket->cv.notify_all();
        });
    }
    {
        std::unique_lock lock(ticket->mutex);
        ticket->cv.wait(lock, [&ticket] { return ticket->done || ticket->cancelled; });
    }
    std::lock_guard attach(s.attach);
    if (s.cutOff)
        return false;
    std::lock_guard lock(m_mutex);
    if (m_pending == ticket)
        m_pending.reset();
    return true;
}

// On the owner's own thread (ListenCAPIAppl's or a test's fetch): at once.
void CCapiLink::Deliver(unsigned code)
{
    if (ICapiOwner* owner = m_pOwner)
        owner->OnCapiNotify(*this, code);
}

bool CCapiLink::ReceiveCAPIMsg()
{
    Fetch outcome;
    std::vector<unsigned> notifications;
    const bool result = ReceiveOne(&outcome, notifications);
    // The owner may read the link while it handles these.
    for (unsigned code : notifications)
        Deliver(code);
    return result;
}

bool CCapiLink::ReceiveOne(Fetch* outcome, std::vector<unsigned>& notifications, bool quietWhenEmpty,
                           unsigned* error)
{
    std::lock_guard dispatch(m_dispatchMutex);
    const uint8_t* msg = nullptr;
    size_t readable = 0;
    unsigned applId;
    bool lost;
    {
        std::lock_guard lock(m_mutex);
        m_lastMessage = {}; // a pass that handles nothing leaves none behind
        applId = m_applId;
        lost = m_applState == ApplState::Lost;
    }
    const unsigned rc = lost ? unsigned(ErrIllegalApplId) : CapiBinding::Driver().GetMessage(applId, &msg, &readable);
    if (rc == ErrQueueEmpty) {
        *outcome = Fetch::QueueEmpty;
        if (!quietWhenEmpty)
            Log("Appl. queue is empty, retry later.");
        return false;
    }
    if (rc != 0 || !msg) {
        *outcome = Fetch::Failed;
        if (error)
            *error = rc;
        std::lock_guard lock(m_mutex);
        m_errorText = Format("CAPI_GET_MESSAGE failed, error 0x%04X.\n", rc);
        return false;
    }
    *outcome = Fetch::Handled;
    // Never past the driver's buffer, not even for the length word.
    size_t size = readable == 1 ? 1 : GetU16(msg);
    if (readable != 0)
        size = std::min(size, readable);
    return Dispatch(msg, size, readable, notifications);
}

const char* CCapiLink::CallTypeText(uint16_t cip)
{
    for (const auto& entry : kCallTypes)
        if (entry.cip == cip)
            return entry.text;
    return nullptr;
}

bool CCapiLink::Dispatch(const uint8_t* msg, size_t size, size_t readable, std::vector<unsigned>& notifications)
{
    uint16_t code = 0;
    if (!ReadU16(msg, size, 4, code)) {
        Logf("Out of sequence CAPI cmd retrieved, 0x%04X.\n", 0u);
        return true;
    }
    uint16_t info = 0;
    const bool hasInfo = ReadU16(msg, size, code == DataB3Conf ? 14 : 12, info);
    const bool hasPlci = size >= 10;
    {
        std::lock_guard lock(m_mutex);
        m_lastMessage = {code, hasInfo ? info : uint16_t(0xFFFF), hasPlci ? msg[9] : uint8_t(0)};
    }

    // A confirmation too short for its Info is reported, not guessed at.
    auto confirmation = [&](const char* name) {
        if (!hasInfo)
            Logf("%s NOK, message too short (%u octets)", name, unsigned(size));
        return hasInfo;
    };

    switch (code) {
    case AlertConf:
        if (!confirmation("ALERT_CONF"))
            return false;
        if (info != 0) {
            Logf("ALERT_CONF NOK, Info = 0x%04X", unsigned(info));
            return false;
        }
        Log("ALERT_CONF OK.");
        if (!SubmitCAPIMsg(ConnectResp)) {
            Log("CONNECT_RESP NOK.");
            return false;
        }
        Log("CONNECT_RESP OK.");
        return true;

    case ConnectConf:
        if (!confirmation("CONNECT_CONF") || !hasPlci)
            return false;
        if (info != 0) {
            Logf("CONNECT_CONF NOK, Info = 0x%04X", unsigned(info));
            return false;
        }
        {
            std::lock_guard lock(m_mutex);
            m_plci = msg[9];
        }
        Logf("CONNECT_CONF OK, PLCI = %d.", int(msg[9]));
        return true;

    case DisconnectConf:
        Logf("DISCONNECT_CONF, Info = 0x%04X", unsigned(info));
        return true;

    case ListenConf: {
        const bool ok = hasInfo && info == 0;
        if (!hasInfo)
            confirmation("LISTEN_CONF");
        else if (ok)
            Log("LISTEN_CONF OK.");
        else
            Logf("LISTEN_CONF NOK, Info = 0x%04X", unsigned(info));
        std::shared_ptr<CDriverCall> listen;
        {
            std::lock_guard lock(m_mutex);
            if (m_listenState == ListenState::Waiting)
                m_listenState = ok ? ListenState::Ok : ListenState::Failed;
            listen = m_listenCall;
        }
        if (listen)
            listen->Answer({});
        return ok;
    }

    case InfoConf:
        Logf("INFO_CONF, Info = 0x%04X", unsigned(info));
        return true;

    case ConnectB3Conf: {
        uint16_t ncci = 0;
        if (!confirmation("CONNECT_B3_CONF") || !ReadU16(msg, size, 10, ncci))
            return false;
        if (info != 0) {
            Logf("CONNECT_B3_CONF NOK, Info = 0x%04X", unsigned(info));
            return false;
        }
        {
            std::lock_guard lock(m_mutex);
            m_ncci = ncci;
        }
        Logf("CONNECT_B3_CONF OK, NCCI = %d.", int(ncci));
        return true;
    }

    case DisconnectB3Conf:
        Logf("DISCONNECT_B3_CONF, Info = 0x%04X", unsigned(info));
        return true;

    case DataB3Conf:
        if (hasInfo && info != 0)
            Logf("DATA_B3_CONF NOK, Info = 0x%04X", unsigned(info));
        else if (confirmation("DATA_B3_CONF"))
            Log("DATA_B3_CONF OK.");
        return false;

    case ResetB3Conf:
        Logf("RESET_B3_CONF, Info = 0x%04X", unsigned(info));
        return true;

    case ConnectInd:
        return HandleConnectInd(msg, size, notifications);

    case ConnectActiveInd:
        Log("CONNECT_ACTIVE_IND OK.");
        if (!SubmitCAPIMsg(ConnectActiveResp)) {
            Log("CONNECT_ACTIVE_RESP NOK.");
            return false;
        }
        Log("CONNECT_ACTIVE_RESP OK.");
        if (!SubmitCAPIMsg(ConnectB3Req)) {
            Log("CONNECT_B3_REQ NOK.");
            return false;
        }
        Log("CONNECT_B3_REQ OK.");
        return true;

    case DisconnectInd: {
        uint16_t reason = 0;
        ReadU16(msg, size, 12, reason);
        {
            std::lock_guard lock(m_mutex);
            m_lastReason = reason;
        }
        Logf("DISCONNECT_IND, Reason = 0x%04X", unsigned(reason));
        if (!SubmitCAPIMsg(DisconnectResp)) {
            Log("DISCONNECT_RESP NOK.");
            return true;
        }
        Log("DISCONNECT_RESP OK.");
        {
            std::lock_guard lock(m_mutex);
            m_plci = 0;
        }
        Log("ISDN connection is shutdown and PLCI = 0.");
        notifications.push_back(NC_CALL_CLEARED);
        return false;
    }

    case InfoInd: {
        uint16_t number = 0;
        ReadU16(msg, size, 12, number);
        // The element's octets from its length octet on, up to the first
        // zero octet and never past the structure or the message.
        std::string element;
        if (size > 14) {
            const size_t structEnd = std::min<size_t>(size, 14 + 1 + size_t(msg[14]));
            for (size_t i = 14; i < structEnd && msg[i] != 0; ++i)
                element.push_back(static_cast<char>(msg[i]));
        }
        Logf("INFO_IND, Info# = 0x%04X, Info element = %s", unsigned(number), element.c_str());
        if (!SubmitCAPIMsg(InfoResp)) {
            Log("INFO_RESP NOK.");
            return false;
        }
        Log("INFO_RESP OK.");
        return true;
    }

    case ConnectB3Ind: {
        uint16_t ncci = 0;
        ReadU16(msg, size, 10, ncci);
        {
            std::lock_guard lock(m_mutex);
            m_ncci = ncci;
        }
        Logf("CONNECT_B3_IND OK, NCCI = %d.", int(ncci));
        if (!SubmitCAPIMsg(ConnectB3Resp)) {
            Log("CONNECT_B3_RESP NOK.");
            return false;
        }
        Log("CONNECT_B3_RESP OK.");
        return true;
    }

    case ConnectB3ActiveInd:
        Log("CONNECT_B3_ACTIVE_IND OK.");
        Log(SubmitCAPIMsg(ConnectB3ActiveResp) ? "CONNECT_B3_ACTIVE_RESP OK." : "CONNECT_B3_ACTIVE_RESP NOK.");
        Log("ISDN connection established.");
        return false;

    case DisconnectB3Ind: {
        uint16_t reason = 0;
        ReadU16(msg, size, 12, reason);
        Logf("DISCONNECT_B3_IND, Reason_B3 = 0x%04X", unsigned(reason));
        Log(SubmitCAPIMsg(DisconnectB3Resp) ? "DISCONNECT_B3_RESP OK." : "DISCONNECT_B3_RESP NOK.");
        {
            std::lock_guard lock(m_mutex);
            m_ncci = 0;
        }
        Log("(Passive Disconnect)");
        return false;
    }

    case DataB3Ind:
        return HandleDataB3Ind(msg, size, readable);

    case ResetB3Ind:
        Log("RESET_B3_IND OK.");
        if (!SubmitCAPIMsg(ResetB3Resp)) {
            Log("RESET_B3_RESP NOK.");
            return false;
        }
        Log("RESET_B3_RESP OK.");
        return true;

    default:
        Logf("Out of sequence CAPI cmd retrieved, 0x%04X.\n", unsigned(code));
        return true;
    }
}

bool CCapiLink::HandleConnectInd(const uint8_t* msg, size_t size, std::vector<unsigned>& notifications)
{
    const uint8_t plci = size >= 10 ? msg[9] : 0;
    {
        // Call data belong to one call: what this call lacks reads as empty,
        // never as the previous caller's.
        std::lock_guard lock(m_mutex);
        m_plci = plci;
        m_callType.clear();
        m_calledNumber.clear();
        m_callingNumber.clear();
        m_callingNumberType.clear();
        m_callText.clear();
    }
    Logf("CONNECT_IND OK, PLCI = %d.", int(plci));

    uint16_t cip = 0;
    ReadU16(msg, size, 12, cip);
    if (const char* type = CallTypeText(cip)) {
        std::lock_guard lock(m_mutex);
        m_callType = type;
    }

    // The structures from offset 14 on, each right after the previous one. A
    // length that runs past the message is taken only as far as it goes.
    size_t pos = 14;
    auto nextStruct = [&](const uint8_t*& structure) -> uint8_t {
        if (pos >= size) {
            structure = nullptr;
            return 0;
        }
        structure = msg + pos;
        const size_t length = std::min<size_t>(msg[pos], size - pos - 1);
        pos += 1 + length;
        return static_cast<uint8_t>(length);
    };
    auto extractInto = [&](std::string CCapiLink::*field, bool logMissing) -> const uint8_t* {
        const uint8_t* structure;
        const uint8_t length = nextStruct(structure);
        if (length == 0) {
            if (logMissing)
                Log("not available");
            return nullptr;
        }
        ExtractCAPIStruct(length, structure);
        std::lock_guard lock(m_mutex);
        this->*field = m_structText;
        return structure;
    };
    extractInto(&CCapiLink::m_calledNumber, true);
    if (const uint8_t* calling = extractInto(&CCapiLink::m_callingNumber, true)) {
        std::lock_guard lock(m_mutex);
        m_callingNumberType = std::string(1, char('0' + ((calling[1] >> 4) & 0x07)));
    }
    const uint8_t* skipped;
    nextStruct(skipped); // Called party subaddress
    extractInto(&CCapiLink::m_callText, false);

    if (!SubmitCAPIMsg(ConnectResp)) {
        Log("CONNECT_RESP NOK.");
        return false;
    }
    Log("CONNECT_RESP OK.");
    notifications.push_back(NC_CALL_INFO);
    return true;
}

bool CCapiLink::HandleDataB3Ind(const uint8_t* msg, size_t size, size_t readable)
{
    // 12 u32 Data, 16 u16 DataLength, 18 u16 DataHandle, 20 u16 Flags,
    // 22 u64 Data64. A 64-bit process finds the address only in Data64.
    uint16_t length = 0;
    ReadU16(msg, size, 16, length);
    m_dataHandle = 0; // never the previous indication's
    ReadU16(msg, size, 18, m_dataHandle);
    uintptr_t address = 0;
    if constexpr (sizeof(void*) == 8) {
        if (size >= 30)
            address = static_cast<uintptr_t>(GetU64(msg + 22));
    } else if (size >= 16) {
        address = static_cast<uintptr_t>(GetU32(msg + 12));
    }
    // Where the driver says how far its buffer goes, the data must lie in it.
    const uintptr_t base = reinterpret_cast<uintptr_t>(msg);
    bool valid = address != 0;
    if (valid && readable != 0)
        valid = address >= base && address - base <= readable && length <= readable - (address - base);

    Log("DATA_B3_IND OK.");
    if (valid) {
        const std::string data(reinterpret_cast<const char*>(address), length);
        Log(Format("Data Received (%d bytes) = ", int(length)) + data);
    } else {
        Logf("Data Received (%d bytes) = (data not readable)", int(length));
    }
    Log(SubmitCAPIMsg(DataB3Resp) ? "DATA_B3_RESP OK." : "DATA_B3_RESP NOK.");
    return false;
}

// ---------------------------------------------------------------- snapshots

std::string CCapiLink::LogLine() const { return Locked(m_logLine); }
std::string CCapiLink::ErrorText() const { return Locked(m_errorText); }
std::string CCapiLink::StructText() const { return Locked(m_structText); }
std::string CCapiLink::CallingNumber() const { return Locked(m_callingNumber); }
std::string CCapiLink::CallingNumberType() const { return Locked(m_callingNumberType); }
std::string CCapiLink::CalledNumber() const { return Locked(m_calledNumber); }
std::string CCapiLink::CallText() const { return Locked(m_callText); }
std::string CCapiLink::CallType() const { return Locked(m_callType); }
uint8_t CCapiLink::Plci() const { return Locked(m_plci); }
uint16_t CCapiLink::Ncci() const { return Locked(m_ncci); }
unsigned CCapiLink::ApplId() const { return Locked(m_applId); }
uint16_t CCapiLink::LastDisconnectReason() const { return Locked(m_lastReason); }

CCapiLink::HandledMessage CCapiLink::LastMessage() const { return Locked(m_lastMessage); }
bool CCapiLink::IsRegistered() const { return Locked(m_registered); }
bool CCapiLink::IsThreadRunning() const
{
    std::lock_guard lock(m_mutex);
    return m_pThread && !m_threadExited;
}
bool CCapiLink::IsLinkDown() const { return Locked(m_linkDown); }
