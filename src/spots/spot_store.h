// Where the spot state lives between runs: the document (Tarnwick.spots.xml) and the journals
// beside it (Tarnwick.spots.N.journal), which take every change as it happens, so that a bridge
// that is killed loses nothing it had told the SDR. The journal is mapped into memory: the loop
// only copies each change into it, which the system keeps whatever becomes of the process. A
// thread of its own makes every journal, gives it room ahead of the changes, maps it, pushes it
// to the disk about once a second and writes each new document, so that the loop waits on no
// disk: it hands the work over and picks up what became of it.
#pragma once

#include "platform/clock.h"
#include "platform/files.h"
#include "platform/mapped_file.h"
#include "spots/spot_state.h"
#include "spots/spot_table.h"

#include <cstdint>
#include <memory>
#include <string>
#include <vector>

class SpotStore final : public SpotStateListener {
public:
    // The journal is folded once it is this long, or as long as the last document when that is
    // longer: each document is paid for by as many bytes of changes. While the document cannot
    // be written, the fold starts a fresh journal with the whole state instead, once the changes
    // are four times as long as the last whole state (at least 512 KiB, at most this), and the
    // journals before it go: the state on the disk then follows the table, not the run.
    static constexpr std::uint64_t kFoldBytes = 4u * 1024u * 1024u;
    // The journal goes to the disk about this often while it changes.
    static constexpr std::int64_t kSyncMs = 1000;
    // A document that could not be written, or a journal that could not be made, is tried again
    // after this long; without a journal, every change is in a document this long after it was
    // made.
    static constexpr std::int64_t kRetryMs = 5000;
    // The last save at a stop is given this long; the journals keep what it could not finish. At
    // the start, the first journal is waited for as long.
    static constexpr std::int64_t kCloseMs = 2500;
    // A journal's room on the disk at first; it grows, ahead of the changes, in steps as large.
    static constexpr std::size_t kJournalRoom = 2u * 1024u * 1024u;
    // Changes that wait in memory for the store's thread to give the journal room: past this
    // many bytes the journal is given up, and the document takes the changes.
    static constexpr std::size_t kMostWaiting = kJournalRoom;

    SpotStore(platform::Path document, const platform::Clock& clock,
              std::uint64_t foldBytes = kFoldBytes);
    // Ends the thread once the work handed to it is done; close() saves first.
    ~SpotStore() override;
    SpotStore(const SpotStore&) = delete;
    SpotStore& operator=(const SpotStore&) = delete;

    // At the start: reads the document and the journals that continue it into the empty table
    // and list, says what it found, and begins keeping them, in a fresh journal. A document or a
    // journal that cannot be used is kept as its name plus ".bad"; journals found are folded
    // into a new document. Only the one bridge that owns the folder may call it.
    void open(SpotTable& table, PendingDeletes& pending, std::int32_t lifeTime);

    // The changes, as the table and the list make them, wait in memory for flush().
    void spotIs(const SpotEntry& entry) override;
    void spotRemoved(const std::string& dxcall) override;
    void deletionPending(std::size_t link, const std::string& dxcall) override;
    void deletionSettled(std::size_t link, const std::string& dxcall) override;

    // Hands the waiting changes to the system (copies them into the mapped journal): before the
    // SDR hears of them, and once a pass. Where the journal has no room left they wait here for
    // the store's thread to give it more.
    void flush();

    // Once a pass: flush(), the journal to the disk when due, a new document or a fresh journal
    // when the journal has grown, and what became of the work handed over said.
    void service(const SpotTable& table, const PendingDeletes& pending);

    // A clean stop: a last document holding everything, written before this returns, unless
    // the disk takes longer than kCloseMs; the journals then keep it for the next start. Whatever
    // `hold` holds (the folder's locks) is let go of only once the store's thread has ended, even
    // after this returns. False when the last save goes on past it.
    bool close(const SpotTable& table, const PendingDeletes& pending,
               std::shared_ptr<void> hold = nullptr);

    const platform::Path& document() const { return document_; }
    platform::Path journal(std::uint64_t generation) const;

private:
    class Writer;
    struct Save;

    // False when the journal was kept aside as unusable.
    bool replay(SpotTable& table, PendingDeletes& pending, std::int32_t lifeTime,
                const platform::Path& path, JournalReplay& totals);
    void askForJournal();
    void takeJournal(std::shared_ptr<platform::MappedFile> file, std::uint64_t generation);
    void fold(const SpotTable& table, const PendingDeletes& pending);
    void foldWhole(const SpotTable& table, const PendingDeletes& pending);
    void takeWhole(std::shared_ptr<platform::MappedFile> mapping, const platform::Path& path,
                   std::uint64_t bytes, const platform::FileError& error);
    void saveWhole(const SpotTable& table, const PendingDeletes& pending, std::uint64_t generation);
    void hand(std::shared_ptr<const Save> save);
    std::uint64_t wholeFoldBytes() const;
    void askForRoom(std::size_t bytes, std::int64_t now);
    void noteOutcomes(std::int64_t now);
    void journalFailed(const platform::Path& path, const platform::FileError& error);
    void keepAside(const platform::Path& path, const std::string& why);

    platform::Path document_;
    const platform::Clock& clock_;
    std::uint64_t foldBytes_;
    std::unique_ptr<Writer> writer_;

    std::uint64_t generation_ = 0; // of the journal being written, or of the last one
    std::uint64_t issued_ = 0;     // the highest generation asked of the writer
    std::shared_ptr<platform::MappedFile> journal_;
    std::uint64_t journalBytes_ = 0;
    bool journalWritten_ = false;                // since it was last pushed to the disk
    bool journalBroken_ = false;                 // none works: only a new document makes up for it
    bool growing_ = false;                       // a larger mapping of the journal is being made
    bool making_ = false;                        // the writer is making journal(issued_)
    std::shared_ptr<platform::MappedFile> next_; // journal(issued_), made and not yet taken
    std::int64_t makeRetryAtMs_ = 0;
    bool unsaved_ = false; // changes that no journal took, for the next document
    // A journal that begins with the whole state: once this many bytes are in it and pushed to
    // the disk, the journals before it go. 0 when there is none such to wait for.
    std::uint64_t settleAt_ = 0;
    // The journal whose push to the disk takes the journals before it along, until it is done:
    // no further fold comes meanwhile, so that they do not pile up on a slow disk.
    platform::Path settling_;
    platform::FileError journalError_;
    platform::FileError syncError_;
    platform::FileError growError_; // the last request for room, said once while it repeats
    std::int64_t growRetryAtMs_ = 0;
    std::string waiting_;                  // changes not yet handed to the system
    std::vector<platform::Path> obsolete_; // journals that the next document makes needless

    std::uint64_t documentBytes_ = 0;
    std::shared_ptr<const Save> saving_;  // what the document is to hold next, until written
    std::shared_ptr<const Save> handed_;  // with the writer: not yet known to be written
    std::shared_ptr<const Save> written_; // what the document on the disk holds, if anything
    platform::FileError saveError_;
    // The whole state that the store's thread writes into the next journal, and where in the
    // journal being written the changes made since it was taken begin.
    std::shared_ptr<const Save> filling_;
    std::uint64_t wholeFrom_ = 0;
    bool wholeIntact_ = false;     // every change since is at hand, in the journal or waiting
    std::uint64_t wholeSaid_ = 0;  // bytes of the whole state last said to be kept in a journal
    std::uint64_t wholeBytes_ = 0; // of the last whole state kept in a journal
    bool foldNow_ = false;         // the document failed while journals wait for it: fold at once
    std::int64_t lastSyncMs_ = 0;
    std::int64_t retryAtMs_ = 0;
};
