// The bridge: one object for the whole process, run in the console or as a service.
#pragma once

#include "bridge/fft.h"
#include "bridge/iq_block.h"
#include "bridge/iq_intake.h"
#include "bridge/spot_relay.h"
#include "bridge/spot_store.h"
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
    void handleQuitRequest();
    void handleTciMessage(const TciMessage& message);
    bool handleDatagram(std::string_view text, std::int64_t nowSeconds);
    void waitForWork(Worker& w, int receiveError);
    void spectrumStep(Worker& w);
    void expirySweep(std::int64_t nowSeconds);
    void relaySpotDelete(const std::string& dxcall);
    void loadState();
    void saveState();
    void handle_binary_message(const std::vector<std::uint8_t>& message);

    // Stop requests: the service's stop sets the flag and wakes the loop; Ctrl+C goes through
    // the console handler, which reaches only the process-wide quit request and the waker.
    std::atomic<std::int32_t> stopFlag{0};
    std::atomic<bool> serviceStopRequested{false};
    platform::ManualResetEvent stoppedEvent;
    std::int32_t spotsReceived = 0;
    std::int32_t ddsFrequency = 0;
    std::int32_t levelOffset = 0;
    SpotTable spotTable;
    PendingDeletes pendingDeletes;
    IqBlock fftBuffer;
    IqBlock spectrumBuffer;
    FftWindow fftWindow{};
    Heap heap;

    // The worker's own state; only the worker thread touches it.
    const platform::Clock* clock = &platform::systemClock();
    std::unique_ptr<platform::Lock> bridgeLock; // guards IqBlockQueue
    BlockQueue IqBlockQueue;
    std::unique_ptr<TciLink> link;         // the connection to the SDR's TCI server
    std::unique_ptr<SpotStore> spotStore;  // the spots between runs; none without a state file
    platform::LoopWaker waker;             // ends the loop's wait from other threads
    std::int32_t n1mmFrequency = 0;        // radio 1, tens of hertz
    std::int32_t spectrumRate = 0;         // SpectrumFrequency, for the intake
    std::int32_t spectrumReceiver = 0;     // SpectrumReceiverNumber, for the intake
    std::int32_t spectrumSampleSize = 512; // SpectrumSampleSize held to 1..4096
    std::optional<IqIntake> intake;
    std::int64_t lastIqFrameMs_ = 0; // when the last IQ frame arrived (steady clock)
    bool iqFrameSeen_ = false;
    bool workerFailed_ = false;
    std::string settingsSaveProblem_;
};
