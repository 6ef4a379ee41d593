#include "bridge/orvex.h"

#include "bridge/fft.h"
#include "bridge/spectrum_packet.h"
#include "diag/log.h"
#include "platform/clock.h"
#include "platform/console.h"
#include "platform/error.h"
#include "platform/paths.h"
#include "spots/n1mm_datagram.h"
#include "spots/spot_state.h"
#include "text/numbers.h"
#include "text/utf8.h"
#include "websocket/websocket.h"

#include <algorithm>
#include <cstdio>
#include <cstring>
#include <exception>
#include <iterator>
#include <memory>
#include <utility>

namespace {

constexpr const char* kTag = "Orvex::t";

// Big enough for any UDP datagram, so that a long spot is handled rather than cut and lost.
constexpr std::size_t kDatagramBytes = 65536;
// Spot datagrams taken in by one pass: a burst is taken in whole, a flood cannot hold up the
// link, the spectrum and the stop.
constexpr int kDatagramsPerPass = 64;
// What a log record shows of one text from the SDR.
constexpr std::size_t kLoggedPeerText = 4000;
// Room for a burst of spots from N1MM+ while the loop is busy elsewhere.
constexpr int kSpotReceiveBuffer = 4 * 1024 * 1024;
// Loop timers, on the steady clock.
constexpr std::int64_t kStatusMs = 30000;
constexpr std::int64_t kExpiryMs = 300000;
// Windows ends the process about five seconds after the console window is closed, the user
// logs off or the system shuts down: the worker has this long to finish.
constexpr int kConsoleEndWaitMs = 4500;
// A pass with nothing to do waits at most this long, whatever the deadlines say.
constexpr std::int64_t kLongestWaitMs = 1000;
// While the SDR streams IQ the loop runs passes of this length (see waitForWork).
constexpr int kStreamPassMs = 10;
// IQ frames this recent mean the SDR is streaming.
constexpr std::int64_t kStreamQuietMs = 100;

// What the console control handler reaches: the quit request, the loop's waker and the worker's
// end. Ctrl+C travels apart from the messages received from the SDR, so that no text from the SDR
// can stop the bridge; flags need no lock, so a Ctrl+C during start-up or shutdown is safe, and
// outlive the bridge object, which a handler still waiting at the process's exit may not touch.
std::atomic<bool> quitRequested{false};
std::atomic<platform::LoopWaker*> consoleWaker{nullptr};
std::atomic<bool> workerEnded{false};

// Every way of ending the console asks the loop to quit, and wakes it to see the request at once.
// Where the system ends the process as soon as the handler returns, the handler waits for the
// worker, so that the spots are saved and the SDR hears "iq_stop".
bool consoleControlHandler(platform::ConsoleEvent event) {
    const char* said = nullptr;
    switch (event) {
    case platform::ConsoleEvent::ctrlC:
        said = "[Ctrl]+C pressed\n";
        break;
    case platform::ConsoleEvent::ctrlBreak:
        said = "[Ctrl]+Break pressed\n";
        break;
    case platform::ConsoleEvent::close:
        said = "Console closed: stopping\n";
        break;
    case platform::ConsoleEvent::logoff:
        said = "Logging off: stopping\n";
        break;
    case platform::ConsoleEvent::shutdown:
    case platform::ConsoleEvent::terminate:
        said = "Asked to end: stopping\n";
        break;
    case platform::ConsoleEvent::other:
        return false;
    }
    std::fputs(said, stdout);
    std::fflush(stdout);
    quitRequested.store(true);
    if (platform::LoopWaker* waker = consoleWaker.load())
        waker->wake();
    if (platform::endsWhenHandled(event))
        platform::waitUntil([] { return workerEnded.load(); }, kConsoleEndWaitMs,
                            platform::systemClock());
    return true;
}

// What the lines of the second SDR program's link begin with; the first's begin as they always
// have.
const char* linkName(std::size_t link) {
    return link == 0 ? "" : "TCI 2 ";
}

struct TciServer {
    std::string host;
    std::string port;
};

// A second SDR program's TCI server: both elements, neither of them empty. One without the
// other is said, and the bridge serves the first SDR program alone.
std::optional<TciServer> secondTciServer(const BridgeSettings& s, std::string& problem) {
    if (!s.TCI2Host && !s.TCI2Port)
        return std::nullopt;
    TciServer server{s.TCI2Host ? trimBlanks(*s.TCI2Host) : "",
                     s.TCI2Port ? trimBlanks(*s.TCI2Port) : ""};
    if (server.host.empty() || server.port.empty()) {
        problem = fmt::format(
            "{} {}; there is no second TCI link", server.host.empty() ? "TCI2Host" : "TCI2Port",
            (server.host.empty() ? s.TCI2Host : s.TCI2Port) ? "is empty" : "is missing");
        return std::nullopt;
    }
    return server;
}

// SpotOnlyRadioBands: true or false, as a flag is written; anything else is said, and every SDR
// program gets every spot.
bool spotOnlyRadioBands(const BridgeSettings& s, std::string& problem) {
    if (!s.SpotOnlyRadioBands)
        return false;
    const std::string value = trimBlanks(*s.SpotOnlyRadioBands);
    if (value == "true" || value == "1")
        return true;
    if (value != "false" && value != "0")
        problem = "SpotOnlyRadioBands \"" + tlog::escapeControls(value) +
                  "\" is neither true nor false; every SDR program gets every spot";
    return false;
}

} // namespace

struct Orvex::Worker {
    // First, so that it goes last: the state files are this run's until the locks go. Shared
    // with a last save that outlives the stop, which lets go of them when it ends.
    std::shared_ptr<std::vector<platform::FileLock>> folderLocks;
    platform::Socket spotSocket;
    platform::Socket spectrumSocket;
    platform::Address spectrumAddress;
    platform::ConsoleCtrlHook consoleHook;
    // Steady milliseconds.
    std::int64_t startTime = 0;
    std::int64_t statusTimer = 0;
    std::int64_t expiryTimer = 0;
    std::size_t lastReportedSpots = 0;
    std::int32_t fftCount = 0;
    std::int32_t fftMillis = 0;
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
    waker.wake();
    if (!stoppedEvent.wait())
        throw static_cast<ServiceErrorCode>(platform::lastSystemError());
}

void Orvex::OnShutdown() {
    LOG_INFO("Orvex::OnShutdown", " Service is Stopping: the system is shutting down");
    serviceStopRequested.store(true);
    stopFlag.store(1);
    waker.wake();
    if (!stoppedEvent.waitFor(service::kShutdownWaitMs))
        throw static_cast<ServiceErrorCode>(service::kErrorTimeout);
}

void Orvex::noteSettingsProblem(std::string message) {
    settingsSaveProblem_ = std::move(message);
}

bool Orvex::initFft() {
    for (const auto& spectrum : spectra)
        spectrum->initFft();
    return true;
}

bool Orvex::releaseFft() {
    return true;
}

void Orvex::t() {
    StartupFailure failure;
    bool netStarted = false;
    // A failure that ends the bridge is said at every Debug level: in the console on standard
    // error; as a service in the file, beside the event-log entry that WorkerEnded writes.
    const auto tellEnd = [this](const StartupFailure& end) {
        if (settings.interactive)
            LOG_FAILURE(kTag, "Tarnwick stopped: {}", end.why);
        else
            LOG_FAILURE_EXCEPT(tlog::Except::eventLog, kTag, "Tarnwick stopped: {}", end.why);
    };
    bool started = false;
    {
        Worker w;
        // A thread that cannot start or memory that runs out ends the run as a failure said,
        // as in the loop, rather than the process without a word.
        try {
            started = startWorker(w, failure);
        } catch (const std::exception& e) {
            failure = {1, std::string("the start failed: ") + e.what()};
            spots.abandon();
            links.clear();
        }
        if (started) {
            try {
                runLoop(w);
            } catch (const std::exception& e) {
                failure = {1, std::string("the main loop failed: ") + e.what()};
                workerFailed_ = true;
            }
            try {
                shutdownWorker(w);
            } catch (const std::exception& e) {
                failure = {1, std::string("the stop failed: ") + e.what()};
                workerFailed_ = true;
            }
        }
        netStarted = w.netStarted;
        // A console handler that waits for this may now let the process end.
        workerEnded.store(true);
    }
    if (!started) {
        // The sockets that start-up opened are closed by now; Winsock goes last.
        workerFailed_ = true;
        waker.close();
        if (netStarted)
            platform::netCleanup();
    }
    // Only the service's own stop may end a service's worker; whatever else ended it, the
    // service must not go on reporting itself as running with no work behind it.
    const bool unasked = !settings.interactive && !serviceStopRequested.load();
    if (unasked && !workerFailed_)
        failure = {1, "the main loop ended without a stop request"};
    if (workerFailed_ || unasked)
        tellEnd(failure);
    // Once the stopped event is set (or stopped reported) the process may end at any moment:
    // nothing of the bridge object is touched after that but the report itself.
    LOG_DEBUG(kTag, "Signalling service stopped");
    stoppedEvent.set();
    if (unasked)
        WorkerEnded(failure.code, failure.why.c_str());
}

bool Orvex::startWorker(Worker& w, StartupFailure& failure) {
    const BridgeSettings& s = settings;
    tlog::configure(
        {s.Debug, s.logFile, s.interactive ? tlog::Target::console : tlog::Target::eventLog});

    // The values as they are used, so that a line break left in the file cannot split the record.
    std::string secondProblem;
    const std::optional<TciServer> second = secondTciServer(s, secondProblem);
    const std::string secondText =
        second ? fmt::format(", TCI 2 Host={}, TCI 2 Port={}", second->host, second->port) : "";
    LOG_NONE(kTag, "N1MM+ Spot Port={}, TCI Host={}, TCI Port={}{}, Debug={}", s.N1MMSpotPort,
             trimBlanks(s.TCIHost), trimBlanks(s.TCIPort), secondText, s.Debug);
    if (!secondProblem.empty())
        LOG_FAILURE(kTag, "{}", secondProblem);
    std::string bandsProblem;
    onlyRadioBands_ = spotOnlyRadioBands(s, bandsProblem);
    if (!bandsProblem.empty())
        LOG_FAILURE(kTag, "{}", bandsProblem);
    else if (onlyRadioBands_)
        LOG_NONE(kTag, "Each SDR program is sent the spots of its N1MM+ radios' bands only");
    // The console heard of it before the bridge started.
    if (!settingsSaveProblem_.empty())
        LOG_FAILURE_EXCEPT(tlog::Except::console, kTag, "{}", settingsSaveProblem_);
    if (s.SpectrumDisplayEnabled) {
        LOG_NONE(kTag,
                 "Spectrum display enabled=true, Scaling Factor:{}, Sample Rate:{}, "
                 "Frequency:{}, Size:{}",
                 s.SpectrumScalingFactor, s.SpectrumSampleRate, s.SpectrumFrequency,
                 s.SpectrumSampleSize);
        const std::int32_t sampleSize = clampSpectrumSampleSize(s.SpectrumSampleSize);
        if (sampleSize != s.SpectrumSampleSize)
            LOG_ERROR(kTag, "SpectrumSampleSize {} is outside 1..4096; using {}",
                      s.SpectrumSampleSize, sampleSize);
        if (s.SpectrumFrequency < 1)
            LOG_WARN(kTag, "SpectrumFrequency {} is below 1; sending one spectrum a second",
                     s.SpectrumFrequency);
    }

    // The system's error code becomes the service's exit code.
    auto fail = [&failure](int code, const std::string& why) {
        failure = {static_cast<std::uint32_t>(code), fmt::format("{} (error {})", why, code)};
        return false;
    };

    if (!s.stateFile.empty() && !takeFolder(w)) {
        failure = {1, "another Tarnwick is running in this folder (" +
                          platform::utf8Path(s.stateFile.parent_path()) +
                          "); stop it before changing its settings, or run a second copy from a "
                          "folder of its own"};
        return false;
    }

    LOG_DEBUG(kTag, "Initialising Winsock...");
    if (int error = platform::netStartup(); error != 0) {
        LOG_ERROR(kTag, "Failed. Error Code : {}", error);
        return fail(error, "Winsock could not be started");
    }
    // Winsock was started: the failures below clean it up again.
    w.netStarted = true;

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
        return fail(error, fmt::format("the spot port {} could not be bound", s.N1MMSpotPort));
    }

    if (s.SpectrumDisplayEnabled) {
        if (platform::bindTo(w.spectrumSocket.get(),
                             platform::ipv4Address(platform::kAnyIpv4, 0)) != 0) {
            int error = platform::lastSocketError();
            LOG_ERROR(kTag, "UDP Client Bind failed with error code :{}", error);
            return fail(error, "the spectrum socket could not be bound");
        }
        std::vector<platform::ResolvedAddress> found;
        const std::string host = trimBlanks(s.SpectrumDisplayHost);
        const std::string port = trimBlanks(s.SpectrumDisplayPort);
        int error =
            platform::resolve(host, port, platform::Family::ipv4, platform::Kind::datagram, found);
        if (error != 0 || found.empty()) {
            LOG_ERROR(kTag, "error: {}", error);
            return fail(
                error, fmt::format("the spectrum display {}:{} could not be resolved", host, port));
        }
        w.spectrumAddress = found.front().address;
        // A second spectrum that cannot run is said, and the first runs as it always has.
        const SpectrumPlan plan = planSpectra(s, second.has_value());
        for (const std::string& problem : plan.problems)
            LOG_FAILURE(kTag, "{}", problem);
        if (plan.sources.front().averaging)
            LOG_NONE(kTag, "Spectrum averaging on: each spectrum is the mean of every IQ block "
                           "since the last");
        for (const SpectrumSource& source : plan.sources) {
            if (plan.sources.size() > 1)
                LOG_NONE(kTag, "Spectrum \"{}\": {}receiver {}, N1MM+ radio {}",
                         tlog::peer(source.name), linkName(source.link), source.receiver,
                         source.radio);
            spectra.push_back(std::make_unique<Spectrum>(s, source));
        }
        LOG_DEBUG(kTag, "Inititalize FFT");
        if (!initFft())
            LOG_DEBUG(kTag, "FFT failed to initialize");
    }

    // Without the waker the loop still sees every request, at its next pass.
    if (!waker.open())
        LOG_WARN(kTag, "Could not open the loop's wake-up socket: {}", platform::lastSocketError());
    consoleWaker.store(&waker);
    if (s.interactive) {
        LOG_DEBUG(kTag, "Set handler for CTRL-C to exit gracefully");
        w.consoleHook.install(consoleControlHandler);
    }

    bridgeLock = std::make_unique<platform::Lock>();
    if (!bridgeLock->valid()) {
        LOG_ERROR(kTag, "Failed to create CRITICAL_SECTION");
        return fail(static_cast<int>(platform::lastSystemError()), "the lock could not be created");
    }

    std::vector<TciServer> servers = {{trimBlanks(s.TCIHost), trimBlanks(s.TCIPort)}};
    if (second)
        servers.push_back(*second);
    spots.open(*clock, servers.size());
    for (std::size_t i = 0; i < servers.size(); ++i) {
        // Each SDR program is asked for the streams of its own receivers only.
        TciLink::Requests requests;
        std::vector<std::int32_t> receivers;
        for (const auto& spectrum : spectra)
            if (spectrum->source().link == i)
                receivers.push_back(spectrum->source().receiver);
        if (!receivers.empty())
            requests = TciLink::iqStreamRequests(s.SpectrumSampleRate, receivers);
        const std::string url = "ws://" + servers[i].host + ":" + servers[i].port + "/";
        // A name lookup that ends wakes the loop, which then goes on with the attempt.
        auto connector = std::make_shared<wsclient::Connector>(url, "", [this] { waker.wake(); });
        links.push_back(std::make_unique<TciLink>(
            *clock, [connector] { return connector->connect(); }, spots.table(),
            spots.pending().link(i), std::move(requests), linkName(i)));
    }

    w.startTime = w.statusTimer = w.expiryTimer = clock->steadyMillis();
    for (const auto& link : links)
        link->begin();
    LOG_DEBUG(kTag, "Start main program loop.");
    return true;
}

// The first bridge in a folder owns its state files: a second one there would replay and
// delete the journals of the first. Every lock that can be taken is taken, and any held elsewhere
// refuses: the executable's always (it is there, nothing here replaces it, and no one can delete
// and make it anew under a running bridge, as a lock file can be), and the lock file's where the
// folder lets it be made (a copy that may not make it still meets it when another could). A
// folder where nothing can be locked runs without the lock, said so.
bool Orvex::takeFolder(Worker& w) {
    struct Candidate {
        platform::Path path;
        bool create;
    };
    const Candidate candidates[] = {{settings.stateFile.parent_path() / "Tarnwick.lock", true},
                                    {platform::executablePath(), false}};
    auto taken = std::make_shared<std::vector<platform::FileLock>>();
    platform::FileError firstError;
    for (const Candidate& candidate : candidates) {
        if (candidate.path.empty())
            continue;
        platform::FileLock lock = platform::FileLock::tryLock(candidate.path, candidate.create);
        if (lock.state() == platform::FileLock::State::held)
            taken->push_back(std::move(lock));
        else if (lock.state() == platform::FileLock::State::heldElsewhere)
            return false;
        else if (!firstError)
            firstError = lock.error();
    }
    if (taken->empty())
        LOG_FAILURE(kTag,
                    "Could not lock {} ({}); running without the lock, so a second Tarnwick "
                    "started in this folder would not be stopped",
                    platform::utf8Path(candidates[0].path), platform::describe(firstError));
    w.folderLocks = std::move(taken);
    return true;
}

void Orvex::runLoop(Worker& w) {
    std::vector<TciLink::Deliver> deliver;
    for (std::size_t i = 0; i < links.size(); ++i)
        deliver.push_back(
            [this, i](const std::vector<std::uint8_t>& message, wsclient::Opcode type) {
                handle_binary_message(i, message, type);
            });
    while (stopFlag.load() == 0) {
        const std::int64_t now = clock->steadyMillis();
        if (now >= w.statusTimer + kStatusMs)
            statusCheck(w, now);
        if (quitRequested.exchange(false))
            handleQuitRequest();
        for (std::size_t i = 0; i < links.size(); ++i)
            links[i]->service(deliver[i]);
        std::fflush(stdout);

        // Every datagram waiting, up to the bound; the wait comes once the socket is empty.
        for (int taken = 0; taken < kDatagramsPerPass; ++taken) {
            const long received =
                platform::receiveFrom(w.spotSocket.get(), w.datagram.data(), w.datagram.size());
            if (received < 0) {
                waitForWork(w, platform::lastSocketError());
                break;
            }
            const std::size_t length =
                strnlen(w.datagram.data(), static_cast<std::size_t>(received));
            handleDatagram(std::string_view(w.datagram.data(), length), now / 1000);
        }

        for (const auto& spectrum : spectra)
            spectrumStep(w, *spectrum);
        if (now >= w.expiryTimer + kExpiryMs) {
            expirySweep(now / 1000);
            w.expiryTimer = now;
        }
        spots.service();
    }
}

// A pass that found no spot datagram waits until there is something to do: a datagram, data
// from the SDR or room to write to it, a wake-up from another thread, or the next deadline. So an
// idle bridge wakes about once a second, and a spot still wakes it at once. A socket that keeps
// failing would end every wait at once, so then it sleeps. While the SDR streams IQ its socket
// turns readable about a hundred times a second: waking for every frame would cost more than the
// short passes that take them in anyway, so then only spot datagrams end the wait early.
void Orvex::waitForWork(Worker& w, int receiveError) {
    // A stop requested in this pass ends the loop now.
    if (stopFlag.load() != 0)
        return;
    if (!platform::isWouldBlock(receiveError)) {
        platform::sleepMillis(kStreamPassMs);
        return;
    }
    const std::int64_t now = clock->steadyMillis();
    const bool streaming = iqFrameSeen_ && now - lastIqFrameMs_ < kStreamQuietMs;
    std::int64_t timeout = kStreamPassMs;
    const auto waiting = [](const auto& spectrum) { return spectrum->spectrumWaiting(); };
    if (std::any_of(spectra.begin(), spectra.end(), waiting)) {
        timeout = 0;
    } else if (!streaming) {
        std::int64_t deadline = std::min(w.statusTimer + kStatusMs, w.expiryTimer + kExpiryMs);
        for (const auto& link : links)
            deadline = std::min(deadline, link->nextDeadline());
        timeout = std::clamp<std::int64_t>(deadline - now, 0, kLongestWaitMs);
    }
    platform::WaitFor sockets[2 + PendingDeletes::kLinkLimit] = {{w.spotSocket.get()},
                                                                 {waker.socket()}};
    for (std::size_t i = 0; i < links.size(); ++i)
        sockets[2 + i] = {streaming ? platform::kInvalidSocket : links[i]->socket(),
                          links[i]->wantsToWrite()};
    platform::waitSockets(sockets, 2 + links.size(), static_cast<int>(timeout));
    waker.drain();
}

void Orvex::statusCheck(Worker& w, std::int64_t now) {
    if (spots.size() != w.lastReportedSpots) {
        std::int32_t average = (w.fftCount == 0 || w.fftMillis == 0) ? 0 : w.fftMillis / w.fftCount;
        bool heapOk = heap.IsOk();
        std::uint32_t heapSize = heap.Size();
        LOG_NONE(kTag,
                 "Uptime: {} seconds. Spots received: {} Current spots: {} Avg FFT:{} Heap "
                 "Size:{} bytes, Heap OK:{}",
                 (now - w.startTime) / 1000, spots.received(), spots.size(), average, heapSize,
                 heapOk ? "true" : "false");
        w.lastReportedSpots = spots.size();
        w.fftCount = 0;
        w.fftMillis = 0;
    }
    w.statusTimer = now;
}

// Handled as they arrive, one at a time: a burst of messages costs no memory of its own. Text
// from the SDR is logged cut to kLoggedPeerText, however long the message that carried it.
void Orvex::handleTciMessage(std::size_t link, const TciCommandView& message) {
    const std::string_view name = message.name;
    const std::string_view arguments = message.arguments;
    const char* who = linkName(link);
    if (name == "stop") {
        links[link]->sdrStopped();
    } else if (name == "start") {
        links[link]->sdrStarted();
    } else if (name == "if") {
        LOG_DEBUG(kTag, "{}Got:{},0:{}", who, link == 0 ? settings.SpectrumReceiverNumber : 0,
                  tlog::peer(arguments.substr(0, 3)));
    } else if (name == "dds") {
        // Each SDR program's receivers are its own: its "dds" labels only its spectra.
        for (const auto& spectrum : spectra) {
            if (spectrum->source().link == link &&
                spectrum->takeDds(arguments) == Spectrum::Dds::noFrequency)
                LOG_WARN(kTag, "{}Ignoring dds without a frequency: {}", who,
                         tlog::peer(utf8Prefix(arguments, kLoggedPeerText)));
        }
    }
    LOG_DEBUG(kTag, "{}<:SDR:{} = {}", who, tlog::peer(utf8Prefix(name, kLoggedPeerText)),
              tlog::peer(utf8Prefix(arguments, kLoggedPeerText)));
}

// The quit request ends the loop after this pass; the link sends "iq_stop" as it closes.
void Orvex::handleQuitRequest() {
    LOG_DEBUG(kTag, "Quit requested from the console");
    stopFlag.store(1);
}

// Sent when the SDR listens; the journal holds each change already.
void Orvex::relay(const std::vector<SpotSend>& sends) {
    for (const SpotSend& send : sends) {
        for (const auto& link : links) {
            if (send.kind == SpotSend::Kind::spot)
                link->spotChanged(send.dxcall, send.beforeKHz);
            else
                link->spotDeleted(send.dxcall);
        }
    }
}

void Orvex::handleDatagram(std::string_view text, std::int64_t nowSeconds) {
    N1mmDatagram datagram = readN1mmDatagram(text);
    if (datagram.kind == N1mmDatagramKind::radio) {
        const RadioFields& radio = datagram.radio;
        LOG_DEBUG(kTag, "Received radio broadcast");
        // Each spectrum follows its own radio; radio 1's frequency has always been checked.
        const auto follows = [&radio](const auto& spectrum) {
            return radio.RadioNr == std::to_string(spectrum->source().radio);
        };
        const int bandRadio = !onlyRadioBands_       ? 0
                              : radio.RadioNr == "1" ? 1
                              : radio.RadioNr == "2" ? 2
                                                     : 0;
        if (radio.RadioNr == "1" || bandRadio != 0 ||
            std::any_of(spectra.begin(), spectra.end(), follows)) {
            if (std::optional<std::int32_t> freq = leadingInteger(radio.Freq)) {
                for (const auto& spectrum : spectra)
                    if (follows(spectrum))
                        spectrum->takeRadioFrequency(*freq);
                if (bandRadio != 0)
                    takeRadioBand(bandRadio, *freq / 100.0);
            } else {
                LOG_WARN(kTag, "Ignoring radio {} frequency that is not a number: {}",
                         tlog::peer(radio.RadioNr), tlog::peer(radio.Freq));
            }
        }
        LOG_DEBUG(kTag, ">N1MM: Radio {} Frequency:{}", tlog::peer(radio.RadioNr),
                  tlog::peer(radio.Freq));
        return;
    }
    if (datagram.kind == N1mmDatagramKind::contact) {
        relay(spots.takeContact(datagram.contact));
        return;
    }
    if (datagram.kind != N1mmDatagramKind::spot)
        return;

    relay(spots.takeSpot(datagram.spot, nowSeconds));
}

// With two SDR programs each serves its own radio, the first radio 1 and the second radio 2;
// one SDR program serves both.
void Orvex::takeRadioBand(int radio, double kHz) {
    radioKHz_[radio - 1] = kHz;
    for (std::size_t i = 0; i < links.size(); ++i) {
        const std::vector<std::optional<double>> served =
            links.size() == 1 ? std::vector<std::optional<double>>{radioKHz_[0], radioKHz_[1]}
                              : std::vector<std::optional<double>>{radioKHz_[i]};
        links[i]->setBandFilter(BandFilter::ofRadios(served));
    }
}

void Orvex::expirySweep(std::int64_t nowSeconds) {
    relay(spots.expire(nowSeconds));
}

// Text is commands, however long; binary is IQ, however short (the intake drops a frame that is
// not one). A message without a first frame of either kind is nothing.
void Orvex::handle_binary_message(std::size_t link, const std::vector<std::uint8_t>& message,
                                  wsclient::Opcode type) {
    if (type == wsclient::Opcode::text) {
        std::string_view text(reinterpret_cast<const char*>(message.data()), message.size());
        forEachTciCommand(
            text, [this, link](const TciCommandView& command) { handleTciMessage(link, command); });
        return;
    }
    if (type == wsclient::Opcode::binary)
        takeIqFrame(link, message);
}

// Each frame goes to the spectrum of the receiver it names on its SDR program's link, so that a
// receiver's frames are counted and paired among themselves; frames of a receiver that is not
// shown are dropped.
void Orvex::takeIqFrame(std::size_t link, const std::vector<std::uint8_t>& frame) {
    const std::int64_t nowMillis = clock->steadyMillis();
    lastIqFrameMs_ = nowMillis;
    iqFrameSeen_ = true;
    const std::optional<IqFrameHeader> header = readIqFrameHeader(frame.data(), frame.size());
    if (!header)
        return;
    for (const auto& spectrum : spectra) {
        if (spectrum->source().link != link ||
            static_cast<std::int64_t>(header->receiver) != spectrum->source().receiver)
            continue;
        const std::int32_t rate = spectrum->streamRate();
        const IqOutcome outcome =
            spectrum->takeFrame(frame.data(), frame.size(), nowMillis, *bridgeLock);
        if (spectrum->streamRate() != rate)
            sayStreamRate(*spectrum);
        if (outcome.reportOverflow)
            LOG_ERROR(kTag, "{}", kIqOverflowMessage);
        if (outcome.verdict == IqVerdict::copied || outcome.verdict == IqVerdict::blockCompleted)
            LOG_DEBUG(kTag, "Copied {}bytes buffer={}current size={}", outcome.bytesCopied,
                      IqBlock::kBytes, outcome.fill);
        return;
    }
}

// The SDR keeps one IQ rate for all its TCI clients, and another of them (a CW skimmer) may have
// set it: the spectrum follows the stream, and the rate is never asked for again.
void Orvex::sayStreamRate(const Spectrum& spectrum) {
    const std::int32_t rate = spectrum.streamRate();
    if (rate != settings.SpectrumSampleRate)
        LOG_NONE(kTag,
                 "Spectrum \"{}\": receiver {} streams IQ at {} samples a second, not the {} of "
                 "SpectrumSampleRate; the spectrum's edges follow the stream (another TCI "
                 "client, such as a skimmer, may have set the SDR's rate)",
                 tlog::peer(spectrum.source().name), spectrum.source().receiver, rate,
                 settings.SpectrumSampleRate);
    else
        LOG_NONE(kTag,
                 "Spectrum \"{}\": receiver {} streams IQ at {} samples a second again, as "
                 "SpectrumSampleRate asks",
                 tlog::peer(spectrum.source().name), spectrum.source().receiver, rate);
}

void Orvex::spectrumStep(Worker& w, Spectrum& spectrum) {
    SpectrumPacket packet;
    Spectrum::Transforms transforms;
    if (!spectrum.step(*bridgeLock, packet, transforms))
        return;
    w.fftMillis += static_cast<std::int32_t>(transforms.millis);
    w.fftCount += static_cast<std::int32_t>(transforms.count);
    long sent =
        platform::sendTo(w.spectrumSocket.get(), packet.data(), packet.size(), w.spectrumAddress);
    if (sent < 0 || static_cast<std::size_t>(sent) != packet.size())
        LOG_ERROR(kTag, "Mismatch in number of bytes sent to N1MM+");
}

void Orvex::shutdownWorker(Worker& w) {
    LOG_NONE(kTag, "Exiting ...");
    // The SDR hears "iq_stop" and what else it is owed first: the journal holds every change
    // already, so the last save may take its time, within its bound, after that.
    LOG_DEBUG(kTag, "Closing websockets.");
    std::vector<TciLink*> stopping;
    for (const auto& link : links)
        stopping.push_back(link.get());
    TciLink::stopAll(stopping);
    LOG_DEBUG(kTag, "Deleting websockets.");
    links.clear();
    std::exception_ptr saveFailure;
    try {
        // A last save that runs past its bound keeps the folder locked until it ends.
        spots.close(w.folderLocks);
    } catch (...) {
        // The sockets are closed all the same; the journals still hold the spots.
        saveFailure = std::current_exception();
    }
    LOG_DEBUG(kTag, "Closing UDP Server socket");
    w.spotSocket.close();
    if (settings.SpectrumDisplayEnabled) {
        LOG_DEBUG(kTag, "Closing UDP Client socket");
        w.spectrumSocket.close();
        LOG_DEBUG(kTag, "Cleaning-up FFT buffers");
        releaseFft();
    }
    waker.close();
    LOG_DEBUG(kTag, "WSACleanup() running");
    platform::netCleanup();
    LOG_DEBUG(kTag, "DeleteCriticialSection()");
    bridgeLock.reset();
    if (saveFailure)
        std::rethrow_exception(saveFailure);
}
