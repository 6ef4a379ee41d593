// The bridge: one object for the whole process, run in the console or as a service.
#pragma once

#include "app/settings.h"
#include "bridge/fft.h"
#include "bridge/iq_block.h"
#include "bridge/iq_intake.h"
#include "bridge/spot_relay.h"
#include "bridge/tci_message.h"
#include "diag/heap.h"
#include "platform/files.h"
#include "platform/socket.h"
#include "platform/sync.h"
#include "service/service_base.h"

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

    // The outcome of a settings save at start-up, before logging runs; the worker logs a
    // failure as a warning once it has set up the log.
    void noteSettingsSave(const std::string& path, platform::FileError error);

    // The spectrum packet for the block in spectrumBuffer; moves levelOffset on.
    std::string makeXML();

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
    void runLoop(Worker& w);
    void shutdownWorker(Worker& w);

    void statusCheck(Worker& w, std::int64_t now);
    void sdrStateChanged();
    void drainMessages();
    void handleTciMessage(const TciMessage& message);
    void handleQuitRequest();
    void sendQueuedCommands();
    void connectionUpkeep(Worker& w, std::int64_t now);
    bool handleDatagram(std::string_view text, std::int64_t now);
    void waitForData(Worker& w, int receiveError);
    void spectrumStep(Worker& w);
    void expirySweep(std::int64_t now);
    bool sdrListening() const;
    void sendSpotCommand(const std::string& command);
    void relaySpotDelete(const std::string& dxcall);
    void handle_binary_message(const std::vector<std::uint8_t>& message);

    std::atomic<std::int32_t> stopFlag{0};
    std::atomic<bool> serviceStopRequested{false};
    platform::ManualResetEvent stoppedEvent;
    std::int32_t spotsReceived = 0;
    std::int32_t ddsFrequency = 0;
    std::int32_t levelOffset = 0;
    bool sdrReady = false;
    SpotTable spotTable;
    PendingDeletes pendingDeletes;
    IqBlock fftBuffer;
    IqBlock spectrumBuffer;
    FftWindow fftWindow{};
    Heap heap;

    std::int32_t spectrumSampleSize = 512; // SpectrumSampleSize held to 1..4096
    std::optional<IqIntake> intake;
    std::uint32_t lastIqFrameTick_ = 0; // when the last IQ frame arrived
    bool iqFrameSeen_ = false;
    bool workerFailed_ = false;
    std::string settingsSaveProblem_;
};
