// What the bridge sees of the spots: the datagram reader and the command texts, and one object
// that owns the live spots, the deletions the SDR may have missed and the store that keeps both
// between runs. The bridge tells it what arrives and when a pass ends; it answers with what the
// SDR is to hear.
#pragma once

#include "platform/clock.h"
#include "settings/settings.h"
#include "spots/n1mm_datagram.h"
#include "spots/spot_look.h"
#include "spots/spot_table.h"

#include <cstddef>
#include <cstdint>
#include <memory>
#include <optional>
#include <string>
#include <unordered_map>
#include <vector>

class SpotStore;

// One command the SDR is to hear, named by its call: the spot as the table holds it when it goes
// out, or its deletion (already pending).
struct SpotSend {
    enum class Kind { spot, deletion } kind;
    std::string dxcall;
    // For a spot: the N1MM+ frequency (kHz) at which the SDR may show the call from before the
    // change; empty when the call was not shown. An SDR kept to its radios' bands is sent the
    // deletion when the call leaves them.
    std::optional<double> beforeKHz = std::nullopt;
};

class Spots {
public:
    // The settings are read as they are when each datagram arrives; they outlive this object.
    explicit Spots(const BridgeSettings& settings);
    ~Spots();
    Spots(const Spots&) = delete;
    Spots& operator=(const Spots&) = delete;

    // Reads how spots are to look, then the live spots and the pending deletions of the last run
    // when there is a state file: a restart neither forgets a spot nor leaves a stale one on the
    // panorama. From here on every change is kept as it is made. `links` SDR programs are to
    // hear the deletions, each on its own.
    void open(const platform::Clock& clock, std::size_t links = 1);

    // A datagram's spot, received at now (seconds on the loop's clock): the table follows it, and
    // what the SDR is to hear comes back in order. Each change is in the journal before then.
    std::vector<SpotSend> takeSpot(const SpotFields& fields, std::int64_t now);

    // A QSO logged, edited or deleted in N1MM+: the spots it works, or worked, are sent again in
    // their new colour (or deleted from the panorama, when that hides them).
    std::vector<SpotSend> takeContact(const ContactFields& fields);

    // Spots whose lifetime has ended are deleted; their deletions come back.
    std::vector<SpotSend> expire(std::int64_t now);

    // Once a pass; the store writes on a thread of its own and says what fails.
    void service();

    // A clean stop: the state is saved whole, then the table is emptied. A save that takes longer
    // than its bound goes on after this returns, and keeps `hold` (the folder's locks) until it
    // ends. False then.
    bool close(std::shared_ptr<void> hold = nullptr);
    // After a start that failed: the store goes without a last save, the files stay as they are.
    void abandon();

    // What each link re-sends at every start and tells of what its SDR has read.
    const SpotTable& table() const { return table_; }
    PendingDeletes& pending() { return pending_; }

    std::size_t size() const { return table_.size(); }
    // Adds taken since the last open.
    std::int32_t received() const { return received_; }

private:
    void remember(const std::string& dxcall, std::vector<SpotSend>& sends);
    void flush();

    const BridgeSettings& settings_;
    SpotLook look_;
    // Spots kept from a run that did not keep their status: their colour and whether they were
    // shown cannot be worked out again, so a QSO logged and deleted gives back these.
    struct KeptLook {
        std::int64_t colour = 0;
        bool hidden = false;
    };
    std::unordered_map<std::string, KeptLook> keptLooks_;
    SpotTable table_;
    PendingDeletes pending_;
    std::unique_ptr<SpotStore> store_; // none without a state file
    std::int32_t received_ = 0;
};
