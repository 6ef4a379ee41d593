#include "bridge/orvex.h"

#include "bridge/fft.h"
#include "bridge/spectrum_packet.h"
#include "diag/log.h"
#include "platform/clock.h"
#include "platform/console.h"
#include "platform/error.h"
#include "websocket/websocket.h"

#include <cstdio>
#include <cstring>
#include <deque>
#include <exception>
#include <iterator>
#include <memory>
#include <utility>

namespace {

constexpr const char* kTag = "Orvex::t";

// Big enough for any UDP datagram, so that a long spot is handled rather than cut and lost.
constexpr std::size_t kDatagramBytes = 65536;
// Room for a burst of spots from N1MM+ while the loop is busy elsewhere.
constexpr int kSpotReceiveBuffer = 4 * 1024 * 1024;
// The longest a pass waits for data when nothing is waiting.
constexpr int kIdleWaitMs = 10;
// IQ frames this recent mean the SDR is streaming.
constexpr std::uint32_t kStreamQuietMs = 100;

// Finished IQ blocks waiting for the spectrum step. Storage is recycled, so the steady state
// allocates nothing per block.
class BlockQueue {
public:
    bool empty() const { return count_.load() == 0; }

    void push(const IqBlock& block) {
        std::unique_ptr<IqBlock> slot;
        if (spare_.empty()) {
            slot = std::make_unique<IqBlock>();
        } else {
            slot = std::move(spare_.back());
            spare_.pop_back();
        }
        *slot = block;
        blocks_.push_back(std::move(slot));
        count_.store(blocks_.size());
    }

    bool popInto(IqBlock& out) {
        if (blocks_.empty())
            return false;
        out = *blocks_.front();
        spare_.push_back(std::move(blocks_.front()));
        blocks_.erase(blocks_.begin());
        count_.store(blocks_.size());
        return true;
    }

private:
    std::vector<std::unique_ptr<IqBlock>> blocks_;
    std::vector<std::unique_ptr<IqBlock>> spare_;
    std::atomic<std::size_t> count_{0};
};

// Process-wide values. Only the quit request is shared with the console control handler.
std::unique_ptr<platform::Lock> bridgeLock;
std::deque<TciMessage> TciMessageQueue;
std::deque<TciMessage> TciCommandQueue;
BlockQueue IqBlockQueue;
std::unique_ptr<wsclient::WebSocket> tciConnection;
std::int32_t n1mmFrequency = 0;
std::int32_t spectrumRate = 0;
std::int32_t spectrumReceiver = 0;
// Ctrl+C travels apart from the messages received from the SDR, so that no text from the SDR
// can stop the bridge. A flag needs no lock, so a Ctrl+C during start-up or shutdown is safe.
std::atomic<bool> quitRequested{false};

template <typename Queue, typename Item> void pushLocked(Queue& queue, Item item) {
    platform::LockGuard guard(*bridgeLock);
    queue.push_back(std::move(item));
}

template <typename Queue> bool popLocked(Queue& queue, TciMessage& out) {
    platform::LockGuard guard(*bridgeLock);
    if (queue.empty())
        return false;
    out = std::move(queue.front());
    queue.pop_front();
    return true;
}

// Ctrl+C only asks the loop to quit; the loop sees the request on its next pass.
bool consoleControlHandler(platform::ConsoleEvent event) {
    if (event != platform::ConsoleEvent::ctrlC)
        return false;
    std::fputs("[Ctrl]+C pressed\n", stdout);
    std::fflush(stdout);
    quitRequested.store(true);
    return true;
}

// The IQ stream commands carry the settings widened with their sign and printed unsigned.
std::string unsignedDecimal(std::int32_t value) {
    return std::to_string(static_cast<std::uint64_t>(static_cast<std::int64_t>(value)));
}

bool isOpen(const std::unique_ptr<wsclient::WebSocket>& connection) {
    return connection && connection->readyState() != wsclient::ReadyState::CLOSED;
}

} // namespace

struct Orvex::Worker {
    platform::Socket spotSocket;
    platform::Socket spectrumSocket;
    platform::Address spectrumAddress;
    platform::ConsoleCtrlHook consoleHook;
    std::int64_t startTime = 0;
    std::int64_t statusTimer = 0;
    std::int64_t connectTimer = 0;
    std::int64_t expiryTimer = 0;
    std::size_t lastReportedSpots = 0;
    std::int32_t fftCount = 0;
    std::int32_t fftMillis = 0;
    bool lastSdrReady = false;
    bool netStarted = false;
    std::vector<char> datagram = std::vector<char>(kDatagramBytes);
};

Orvex::Orvex() : CServiceBase(L"Tarnwick") {
    if (!stoppedEvent.valid())
        throw static_cast<ServiceErrorCode>(stoppedEvent.creationError());
}

Orvex::~Orvex() = default;

void Orvex::OnStart(std::uint32_t, wchar_t**) {
    LogEvent(L"Tarnwick Service is Starting", service::kEventInformation);
    unsigned long error = platform::runOnPoolThread([this] { t(); });
    if (error != 0)
        throw static_cast<ServiceErrorCode>(error);
}

void Orvex::OnStop() {
    LOG_INFO("Orvex::OnStop", " Service is Stopping");
    serviceStopRequested.store(true);
    stopFlag.store(1);
    if (!stoppedEvent.wait())
        throw static_cast<ServiceErrorCode>(platform::lastSystemError());
}

void Orvex::OnShutdown() {
    LOG_INFO("Orvex::OnShutdown", " Service is Stopping: the system is shutting down");
    serviceStopRequested.store(true);
    stopFlag.store(1);
    if (!stoppedEvent.waitFor(service::kShutdownWaitMs))
        throw static_cast<ServiceErrorCode>(service::kErrorTimeout);
}

void Orvex::noteSettingsSave(const std::string& path, platform::FileError error) {
    if (error)
        settingsSaveProblem_ =
            fmt::format("Could not save the settings to {} ({} failed, error {}); "
                        "the file there was left as it was",
                        path, error.call, error.code);
    else
        settingsSaveProblem_.clear();
}

bool Orvex::initFft() {
    fillFftWindow(fftWindow);
    return true;
}

bool Orvex::releaseFft() {
    return true;
}

void Orvex::t() {
    StartupFailure failure;
    bool netStarted = false;
    {
        Worker w;
        if (startWorker(w, failure)) {
            try {
                runLoop(w);
            } catch (const std::exception& e) {
                LOG_FATAL(kTag, "The main loop failed: {}", e.what());
                failure = {1, std::string("the main loop failed: ") + e.what()};
                workerFailed_ = true;
            }
            shutdownWorker(w);
            // Only the service's own stop may end a service's worker; whatever else ended it,
            // the service must not go on reporting itself as running with no work behind it.
            if (!settings.interactive && !serviceStopRequested.load()) {
                if (!workerFailed_)
                    failure = {1, "the main loop ended without a stop request"};
                WorkerEnded(failure.code, failure.why.c_str());
            }
            return;
        }
        netStarted = w.netStarted;
    }
    // The sockets that start-up opened are closed by now; Winsock goes last.
    workerFailed_ = true;
    if (netStarted)
        platform::netCleanup();
    stoppedEvent.set();
    if (!settings.interactive)
        WorkerEnded(failure.code, failure.why.c_str());
}

bool Orvex::startWorker(Worker& w, StartupFailure& failure) {
    const BridgeSettings& s = settings;
    tlog::configure(
        {s.Debug, s.logFile, s.interactive ? tlog::Target::console : tlog::Target::eventLog});

    LOG_NONE(kTag, "N1MM+ Spot Port={}, TCI Host={}, TCI Port={}, Debug={}", s.N1MMSpotPort,
             s.TCIHost, s.TCIPort, s.Debug);
    if (!settingsSaveProblem_.empty())
        LOG_WARN(kTag, "{}", settingsSaveProblem_);
    if (s.SpectrumDisplayEnabled) {
        LOG_NONE(kTag,
                 "Spectrum display enabled=true, Scaling Factor:{}, Sample Rate:{}, "
                 "Frequency:{}, Size:{}",
                 s.SpectrumScalingFactor, s.SpectrumSampleRate, s.SpectrumFrequency,
                 s.SpectrumSampleSize);
        spectrumSampleSize = clampSpectrumSampleSize(s.SpectrumSampleSize);
        if (spectrumSampleSize != s.SpectrumSampleSize)
            LOG_ERROR(kTag, "SpectrumSampleSize {} is outside 1..4096; using {}",
                      s.SpectrumSampleSize, spectrumSampleSize);
        if (s.SpectrumFrequency < 1)
            LOG_WARN(kTag, "SpectrumFrequency {} is below 1; sending one spectrum a second",
                     s.SpectrumFrequency);
    }

    LOG_DEBUG(kTag, "Initialising Winsock...");
    if (int error = platform::netStartup(); error != 0) {
        LOG_ERROR(kTag, "Failed. Error Code : {}", error);
        failure = {static_cast<std::uint32_t>(error), "Winsock could not be started"};
        return false;
    }
    // Winsock was started: the failures below clean it up again.
    w.netStarted = true;

    // The system's error code becomes the service's exit code.
    auto fail = [&failure](int code, std::string why) {
        failure = {static_cast<std::uint32_t>(code), std::move(why)};
        return false;
    };

    LOG_DEBUG(kTag, "Create socket for inbound UDP connection (spots).");
    w.spotSocket = platform::openUdp4();
    if (!w.spotSocket.valid()) {
        int error = platform::lastSocketError();
        LOG_ERROR(kTag, "Could not create UDP server socket :{}", error);
        return fail(error, "the spot socket could not be created");
    }
    if (s.SpectrumDisplayEnabled) {
        LOG_DEBUG(kTag, "Create socket for outbound UDP connection (stream).");
        w.spectrumSocket = platform::openUdp4();
        if (!w.spectrumSocket.valid()) {
            int error = platform::lastSocketError();
            LOG_ERROR(kTag, "Could not create UDP client socket :{}", error);
            return fail(error, "the spectrum socket could not be created");
        }
    }

    auto spotPort = static_cast<std::uint16_t>(s.N1MMSpotPort & 0xFFFF);
    // The port is shared on purpose (N1MM+ listeners are meant to share it), but a second copy of
    // the bridge, or another tool, may then get the spots instead of this one: say so.
    if (platform::udpPortHeld(spotPort)) {
        const std::string warning = fmt::format(
            "Another program is listening on UDP port {} and may receive the N1MM+ spots instead",
            spotPort);
        LOG_WARN(kTag, "{}", warning);
        if (s.interactive && !tlog::enabled(tlog::Severity::warning))
            std::printf("%s\n", warning.c_str());
    }

    platform::setReceiveTimeout(w.spotSocket.get(), 1, 10000);
    platform::setReuseAddress(w.spotSocket.get(), true);
    platform::setNonBlocking(w.spotSocket.get(), true);
    platform::setReceiveBufferSize(w.spotSocket.get(), kSpotReceiveBuffer);

    LOG_DEBUG(kTag, "Bind to UDP port for N1MM spots: {}", s.N1MMSpotPort);
    if (platform::bindTo(w.spotSocket.get(), platform::ipv4Address(platform::kAnyIpv4, spotPort)) !=
        0) {
        int error = platform::lastSocketError();
        LOG_ERROR(kTag, "Bind failed with error code :{}", error);
        return fail(error, fmt::format("the spot port {} could not be bound (error {})",
                                       s.N1MMSpotPort, error));
    }

    if (s.SpectrumDisplayEnabled) {
        if (platform::bindTo(w.spectrumSocket.get(),
                             platform::ipv4Address(platform::kAnyIpv4, 0)) != 0) {
            int error = platform::lastSocketError();
            LOG_ERROR(kTag, "UDP Client Bind failed with error code :{}", error);
            return fail(error, "the spectrum socket could not be bound");
        }
        std::vector<platform::ResolvedAddress> found;
        int error = platform::resolve(s.SpectrumDisplayHost, s.SpectrumDisplayPort,
                                      platform::Family::ipv4, platform::Kind::datagram, found);
        if (error != 0 || found.empty()) {
            LOG_ERROR(kTag, "error: {}", error);
            return fail(error, fmt::format("the spectrum display {}:{} could not be resolved",
                                           s.SpectrumDisplayHost, s.SpectrumDisplayPort));
        }
        w.spectrumAddress = found.front().address;
        spectrumRate = s.SpectrumFrequency;
        spectrumReceiver = s.SpectrumReceiverNumber;
        intake.emplace(spectrumRate, spectrumReceiver);
        LOG_DEBUG(kTag, "Inititalize FFT");
        if (!initFft())
            LOG_DEBUG(kTag, "FFT failed to initialize");
    }

    if (s.interactive) {
        LOG_DEBUG(kTag, "Set handler for CTRL-C to exit gracefully");
        w.consoleHook.install(consoleControlHandler);
    }

    bridgeLock = std::make_unique<platform::Lock>();
    if (!bridgeLock->valid()) {
        LOG_ERROR(kTag, "Failed to create CRITICAL_SECTION");
        return fail(static_cast<int>(platform::lastSystemError()), "the lock could not be created");
    }

    spotsReceived = 0;
    w.lastSdrReady = false;
    w.startTime = w.statusTimer = w.connectTimer = w.expiryTimer = platform::epochSeconds();
    LOG_DEBUG(kTag, "Start main program loop.");
    return true;
}

void Orvex::runLoop(Worker& w) {
    while (stopFlag.load() == 0) {
        std::int64_t now = platform::epochSeconds();
        if (now >= w.statusTimer + 30)
            statusCheck(w, now);
        if (sdrReady != w.lastSdrReady) {
            sdrStateChanged();
            w.lastSdrReady = sdrReady;
        }
        drainMessages();
        sendQueuedCommands();
        connectionUpkeep(w, now);
        std::fflush(stdout);

        long received =
            platform::receiveFrom(w.spotSocket.get(), w.datagram.data(), w.datagram.size());
        if (received < 0) {
            waitForData(w, platform::lastSocketError());
        } else if (received > 0) {
            std::size_t length = strnlen(w.datagram.data(), static_cast<std::size_t>(received));
            if (!handleDatagram(std::string_view(w.datagram.data(), length), now))
                continue;
        }

        spectrumStep(w);
        if (now >= w.expiryTimer + 300) {
            expirySweep(now);
            w.expiryTimer = now;
        }
    }
}

// The pass would sleep 10 ms; it waits as long at most, but wakes as soon as a spot datagram or
// data from the SDR arrives. A socket that keeps failing would wake it at once, so then it sleeps.
// While the SDR streams IQ, its socket turns readable about a hundred times a second: waking for
// every frame would cost more than the 10 ms passes that take them in anyway, so then only spot
// datagrams end the wait early.
void Orvex::waitForData(Worker& w, int receiveError) {
    if (!platform::isWouldBlock(receiveError)) {
        platform::sleepMillis(kIdleWaitMs);
        return;
    }
    const bool streaming =
        iqFrameSeen_ && platform::tickMillis() - lastIqFrameTick_ < kStreamQuietMs;
    const platform::NativeSocket sockets[] = {
        w.spotSocket.get(),
        tciConnection && !streaming ? tciConnection->nativeSocket() : platform::kInvalidSocket};
    platform::waitReadable(sockets, std::size(sockets), kIdleWaitMs);
}

void Orvex::statusCheck(Worker& w, std::int64_t now) {
    if (spotTable.size() != w.lastReportedSpots) {
        std::int32_t average = (w.fftCount == 0 || w.fftMillis == 0) ? 0 : w.fftMillis / w.fftCount;
        bool heapOk = heap.IsOk();
        std::uint32_t heapSize = heap.Size();
        LOG_NONE(kTag,
                 "Uptime: {} seconds. Spots received: {} Current spots: {} Avg FFT:{} Heap "
                 "Size:{} bytes, Heap OK:{}",
                 now - w.startTime, spotsReceived, spotTable.size(), average, heapSize,
                 heapOk ? "true" : "false");
        w.lastReportedSpots = spotTable.size();
        w.fftCount = 0;
        w.fftMillis = 0;
    }
    w.statusTimer = now;
}

// Spots outlive a lost connection; the whole table is sent again when the SDR starts, after the
// deletions that the SDR may have missed meanwhile.
void Orvex::sdrStateChanged() {
    LOG_NONE(kTag, ">:SDR Ready:{}", sdrReady ? "true" : "false");
    if (!sdrReady)
        return;
    if (sdrListening()) {
        for (const std::string& dxcall : pendingDeletes.resend()) {
            std::string command = spotDeleteCommand(dxcall);
            tciConnection->sendText(command);
            LOG_INFO(kTag, ">:{}", command);
        }
    }
    for (const SpotEntry& entry : spotTable) {
        std::string command = spotCommand(entry);
        if (isOpen(tciConnection))
            tciConnection->sendText(command);
        LOG_INFO(kTag, ">:{}", command);
    }
    if (settings.SpectrumDisplayEnabled && isOpen(tciConnection)) {
        pushLocked(TciCommandQueue,
                   TciMessage{"iq_samplerate", unsignedDecimal(settings.SpectrumSampleRate)});
        pushLocked(TciCommandQueue,
                   TciMessage{"iq_start", unsignedDecimal(settings.SpectrumReceiverNumber)});
    }
}

void Orvex::drainMessages() {
    TciMessage message;
    while (popLocked(TciMessageQueue, message))
        handleTciMessage(message);
    if (quitRequested.exchange(false))
        handleQuitRequest();
}

void Orvex::handleTciMessage(const TciMessage& message) {
    const std::string& name = message.name;
    const std::string& arguments = message.arguments;
    const std::int32_t receiver = settings.SpectrumReceiverNumber;
    if (name == "stop") {
        sdrReady = false;
    } else if (name == "start") {
        sdrReady = true;
    } else if (name == "if") {
        LOG_DEBUG(kTag, "Got:{},0:{}", receiver, std::string_view(arguments).substr(0, 3));
    } else if (name == "dds") {
        if (ddsForReceiver(arguments, receiver)) {
            if (std::optional<std::int32_t> hz = ddsFrequencyFor(arguments, receiver)) {
                ddsFrequency = *hz;
                // N1MM+ reports tens of hertz; until it does, follow the SDR.
                if (n1mmFrequency == 0)
                    n1mmFrequency = *hz / 10;
            } else {
                LOG_WARN(kTag, "Ignoring dds without a frequency: {}", arguments);
            }
        }
    }
    LOG_DEBUG(kTag, "<:SDR:{} = {}", name, std::string_view(arguments).substr(0, 4000));
}

// The quit request ends the loop after this pass, which still sends "iq_stop".
void Orvex::handleQuitRequest() {
    LOG_DEBUG(kTag, "Quit requested from the console");
    stopFlag.store(1);
    pushLocked(TciCommandQueue,
               TciMessage{"iq_stop", unsignedDecimal(settings.SpectrumReceiverNumber)});
}

void Orvex::sendQueuedCommands() {
    TciMessage command;
    while (popLocked(TciCommandQueue, command)) {
        std::string text = tciCommandText(command);
        LOG_INFO(kTag, "> {}", text);
        if (tciConnection)
            tciConnection->sendText(text);
    }
}

void Orvex::connectionUpkeep(Worker& w, std::int64_t now) {
    if (isOpen(tciConnection)) {
        tciConnection->poll(0);
        tciConnection->dispatchBinary(
            [this](const std::vector<std::uint8_t>& message) { handle_binary_message(message); });
        // A deletion has left once the send queue has drained; one still queued when the
        // connection is lost has to be sent again.
        if (!isOpen(tciConnection))
            pendingDeletes.sendingLost();
        else if (tciConnection->bufferedAmount() == 0)
            pendingDeletes.confirmSent();
    } else if (now >= w.connectTimer + 5) {
        pendingDeletes.sendingLost();
        tciConnection.reset();
        sdrReady = false;
        tciConnection = wsclient::WebSocket::connectUrl(
            "ws://" + settings.TCIHost + ":" + settings.TCIPort + "/", "");
        w.connectTimer = now;
    }
}

// The SDR hears what is sent now: it has started and the connection is neither closing nor lost.
bool Orvex::sdrListening() const {
    return sdrReady && tciConnection && tciConnection->readyState() == wsclient::ReadyState::OPEN;
}

void Orvex::sendSpotCommand(const std::string& command) {
    if (tciConnection && sdrReady && !command.empty()) {
        LOG_INFO(kTag, ">:{}", command);
        tciConnection->sendText(command);
    }
}

void Orvex::relaySpotDelete(const std::string& dxcall) {
    if (pendingDeletes.remember(dxcall, sdrListening()))
        LOG_WARN(kTag,
                 "More than {} spot deletions are waiting for the SDR; the oldest are dropped",
                 PendingDeletes::kLimit);
    sendSpotCommand(spotDeleteCommand(dxcall));
}

bool Orvex::handleDatagram(std::string_view text, std::int64_t now) {
    N1mmDatagram datagram = readN1mmDatagram(text);
    if (datagram.kind == N1mmDatagramKind::radio) {
        const RadioFields& radio = datagram.radio;
        LOG_DEBUG(kTag, "Received radio broadcast");
        if (radio.RadioNr == "1") {
            if (std::optional<std::int32_t> freq = leadingInteger(radio.Freq))
                n1mmFrequency = *freq;
            else
                LOG_WARN(kTag, "Ignoring radio 1 frequency that is not a number: {}", radio.Freq);
        }
        LOG_DEBUG(kTag, ">N1MM: Radio {} Frequency:{}", radio.RadioNr, radio.Freq);
        return false;
    }
    if (datagram.kind != N1mmDatagramKind::spot)
        return false;

    const SpotFields& f = datagram.spot;
    LOG_DEBUG(kTag, "<:{} {}({}): DX de {}:\t{}\t{}\t{}", f.timestamp, f.action, f.status,
              f.spottercall, f.frequency, f.dxcall, f.comment);
    SpotApplied applied = applySpot(spotTable, f, settings, now);
    switch (applied.change) {
    case SpotChange::unknownAction:
        LOG_ERROR(kTag, "Unknown command received: {}", f.action);
        return false;
    case SpotChange::unusableFrequency:
        LOG_WARN(kTag, "Ignoring spot of {} with a frequency that is not a number: {}", f.dxcall,
                 f.frequency);
        return false;
    case SpotChange::deleted:
        relaySpotDelete(f.dxcall);
        return true;
    case SpotChange::added:
    case SpotChange::replaced:
        break;
    }
    ++spotsReceived;
    pendingDeletes.forget(f.dxcall);
    sendSpotCommand(applied.command);
    return true;
}

void Orvex::expirySweep(std::int64_t now) {
    for (const SpotEntry& entry : spotTable.expire(now, settings.SpotLifeTime)) {
        LOG_DEBUG(kTag, "Spot:{} has exceeded SpotLifeTime ({}) seconds, deleting.", entry.dxcall,
                  now - entry.received);
        relaySpotDelete(entry.dxcall);
    }
}

void Orvex::handle_binary_message(const std::vector<std::uint8_t>& message) {
    if (!isIqFrameSize(message.size())) {
        std::string_view text(reinterpret_cast<const char*>(message.data()), message.size());
        pushLocked(TciMessageQueue, splitTciMessage(text));
        return;
    }
    lastIqFrameTick_ = platform::tickMillis();
    iqFrameSeen_ = true;
    // Without the spectrum display nothing paces or consumes IQ frames.
    if (!intake)
        return;
    std::int64_t nowMillis = platform::toEpochMillis(platform::utcNow());
    IqOutcome outcome =
        intake->accept(message.data(), message.size(), nowMillis, IqBlockQueue.empty());
    if (outcome.reportOverflow)
        LOG_ERROR(kTag, "{}", kIqOverflowMessage);
    if (outcome.verdict == IqVerdict::copied || outcome.verdict == IqVerdict::blockCompleted)
        LOG_DEBUG(kTag, "Copied {}bytes buffer={}current size={}", outcome.bytesCopied,
                  IqBlock::kBytes, outcome.fill);
    if (outcome.verdict == IqVerdict::blockCompleted) {
        platform::LockGuard guard(*bridgeLock);
        IqBlockQueue.push(intake->completedBlock());
    }
}

void Orvex::spectrumStep(Worker& w) {
    if (IqBlockQueue.empty())
        return;
    {
        platform::LockGuard guard(*bridgeLock);
        if (!IqBlockQueue.popInto(fftBuffer))
            return;
    }
    std::uint32_t t0 = platform::tickMillis();
    windowAndFft(fftWindow, fftBuffer);
    spectrumBuffer = fftBuffer;
    w.fftMillis += static_cast<std::int32_t>(platform::tickMillis() - t0);
    w.fftCount += 1;

    std::string packet = makeXML();
    long sent =
        platform::sendTo(w.spectrumSocket.get(), packet.data(), packet.size(), w.spectrumAddress);
    if (sent < 0 || static_cast<std::size_t>(sent) != packet.size())
        LOG_ERROR(kTag, "Mismatch in number of bytes sent to N1MM+");
}

std::string Orvex::makeXML() {
    SpectrumInputs in = spectrumInputs(settings, ddsFrequency, n1mmFrequency);
    in.SpectrumSampleSize = spectrumSampleSize;
    std::string text = makeSpectrumXml(spectrumBuffer, in, levelOffset);
    LOG_DEBUG("Orvex::makeXML", "{}", text);
    return text;
}

void Orvex::shutdownWorker(Worker& w) {
    LOG_NONE(kTag, "Exiting ...");
    LOG_DEBUG(kTag, "Clearing spots.");
    spotTable.clear();
    LOG_DEBUG(kTag, "Closing websockets.");
    if (tciConnection) {
        tciConnection->close();
        tciConnection.reset();
    }
    LOG_DEBUG(kTag, "Deleting websockets.");
    LOG_DEBUG(kTag, "Closing UDP Server socket");
    w.spotSocket.close();
    if (settings.SpectrumDisplayEnabled) {
        LOG_DEBUG(kTag, "Closing UDP Client socket");
        w.spectrumSocket.close();
        LOG_DEBUG(kTag, "Cleaning-up FFT buffers");
        releaseFft();
    }
    LOG_DEBUG(kTag, "WSACleanup() running");
    platform::netCleanup();
    LOG_DEBUG(kTag, "DeleteCriticialSection()");
    bridgeLock.reset();
    LOG_DEBUG(kTag, "Signalling service stopped");
    stoppedEvent.set();
}
