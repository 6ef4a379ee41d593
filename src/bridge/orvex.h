// The bridge: one object for the whole process, run in the console or as a service.
#pragma once

#include "bridge/spectrum.h"
#include "bridge/tci_link.h"
#include "bridge/tci_message.h"
#include "diag/heap.h"
#include "platform/clock.h"
#include "platform/files.h"
#include "platform/socket.h"
#include "platform/sync.h"
#include "platform/waker.h"
#include "service/service_base.h"
#include "settings/settings.h"
#include "spots/spots.h"

#include <array>
#include <atomic>
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

class Orvex : public CServiceBase {
public:
    Orvex();
    ~Orvex() override;

    // Filled by the entry point before the worker starts; read-only afterwards.
    BridgeSettings settings;

    // The worker: sets up logging and sockets, runs the main loop until a stop is requested,
    // then closes everything in order and signals the stopped event.
    void t();

    virtual bool initFft();
    virtual bool releaseFft();

    // A settings problem at start-up that the console was told of before logging ran (empty:
    // none); the worker writes it to the log and a service's event log once it has set them up.
    void noteSettingsProblem(std::string message);

    // True when the last run of the worker ended by a failure: at start-up, or in its loop.
    bool workerFailed() const { return workerFailed_; }

protected:
    void OnStart(std::uint32_t argc, wchar_t** argv) override;
    void OnStop() override;
    // A system shutdown stops the worker as a stop does, but waits only as long as the system
    // allows (kShutdownWaitMs); a worker still running then is a failure.
    void OnShutdown() override;

private:
    struct Worker; // state local to one run of t()
    struct StartupFailure {
        std::uint32_t code = 1;
        std::string why;
    };

    bool startWorker(Worker& w, StartupFailure& failure);
    // False when another bridge holds this folder's state files.
    bool takeFolder(Worker& w);
    void runLoop(Worker& w);
    void shutdownWorker(Worker& w);

    void statusCheck(Worker& w, std::int64_t now);
    void handleQuitRequest();
    // What arrives on link number `link` (0: the first SDR program, 1: the second).
    void handleTciMessage(std::size_t link, const TciCommandView& message);
    void handleDatagram(std::string_view text, std::int64_t nowSeconds);
    void waitForWork(Worker& w, int receiveError);
    void spectrumStep(Worker& w, Spectrum& spectrum);
    void sayStreamRate(const Spectrum& spectrum);
    void takeIqFrame(std::size_t link, const std::vector<std::uint8_t>& frame);
    void expirySweep(std::int64_t nowSeconds);
    // N1MM+ reported radio `radio` (1 or 2) at kHz: with SpotOnlyRadioBands, each SDR program
    // follows the bands of the radios it serves.
    void takeRadioBand(int radio, double kHz);
    void relay(const std::vector<SpotSend>& sends);
    void handle_binary_message(std::size_t link, const std::vector<std::uint8_t>& message,
                               wsclient::Opcode type);

    // Stop requests: the service's stop sets the flag and wakes the loop; Ctrl+C goes through
    // the console handler, which reaches only the process-wide quit request and the waker.
    std::atomic<std::int32_t> stopFlag{0};
    std::atomic<bool> serviceStopRequested{false};
    platform::ManualResetEvent stoppedEvent;
    Spots spots{settings};
    Heap heap;

    // The worker's own state; only the worker thread touches it.
    const platform::Clock* clock = &platform::systemClock();
    std::unique_ptr<platform::Lock> bridgeLock; // guards the spectra's block queues
    // The connection to the SDR program's TCI server, and to a second SDR program's when the
    // station has one.
    std::vector<std::unique_ptr<TciLink>> links;
    platform::LoopWaker waker; // ends the loop's wait from other threads
    // One spectrum for each receiver shown (none while the display is off); each keeps its own
    // intake, block queue, transform, frequencies and level offset.
    std::vector<std::unique_ptr<Spectrum>> spectra;
    std::int64_t lastIqFrameMs_ = 0; // when the last IQ frame arrived (steady clock)
    bool iqFrameSeen_ = false;
    bool onlyRadioBands_ = false;            // SpotOnlyRadioBands
    std::optional<double> radioKHz_[2] = {}; // N1MM+'s radios 1 and 2, once reported
    bool workerFailed_ = false;
    std::string settingsSaveProblem_;
};
