#include "spots/spot_store.h"

#include "diag/log.h"
#include "platform/paths.h"

#include <algorithm>
#include <cerrno>
#include <charconv>
#include <chrono>
#include <condition_variable>
#include <cstring>
#include <deque>
#include <filesystem>
#include <map>
#include <mutex>
#include <new>
#include <system_error>
#include <thread>
#include <utility>

namespace {

constexpr const char* kTag = "Orvex::t";
constexpr const char* kJournalSuffix = ".journal";
constexpr const char* kTemporarySuffix = ".tmp";
// Journals are read this much at a time.
constexpr std::size_t kReadBytes = 64 * 1024;

bool sameFailure(const platform::FileError& a, const platform::FileError& b) {
    return a && b && a.code == b.code && std::string_view(a.call) == b.call;
}

// A new journal, its room on the disk taken and its first line in place. A file made but given no
// room is removed; anything else of that name is not ours.
platform::FileError makeJournal(const platform::Path& path, std::size_t room,
                                std::shared_ptr<platform::MappedFile>& made) {
    auto file = std::make_shared<platform::MappedFile>();
    if (const platform::FileError error = file->open(path, room, true)) {
        file.reset();
        std::error_code ignored;
        if (std::filesystem::is_regular_file(path, ignored))
            std::filesystem::remove(path, ignored);
        return error;
    }
    const std::string header = journalHeader();
    std::memcpy(file->data(), header.data(), header.size());
    made = std::move(file);
    return {};
}

} // namespace

struct SpotStore::Save {
    SpotStateImage image;
    platform::Path document;
    std::vector<platform::Path> obsolete; // removed once the document is written
};

// Runs the store's file work in order on a thread of its own: a journal pushed to the disk or
// given more room, a document written whole. The loop hands work over and picks up what became
// of it. Everything the thread touches is shared with it, so that a stop that cannot wait for
// the disk may leave it to finish, or to end with the process.
class SpotStore::Writer {
public:
    using Journal = std::shared_ptr<platform::MappedFile>;
    enum class Work { push, grow, make, write, release };
    struct Outcome {
        std::shared_ptr<const Save> save; // for a document written
        Journal mapping;                  // of a journal given more room, or made
        platform::Path journal;           // of a journal pushed to the disk, grown or made
        Work kind = Work::push;
        platform::FileError error;
        std::uint64_t bytes = 0;
    };

    Writer() : shared_(std::make_shared<Shared>()), thread_([shared = shared_] { run(*shared); }) {}
    ~Writer() {
        {
            std::lock_guard<std::mutex> lock(shared_->mutex);
            shared_->stopping = true;
        }
        shared_->wake.notify_all();
        if (abandoned_)
            thread_.detach();
        else
            thread_.join();
    }
    Writer(const Writer&) = delete;
    Writer& operator=(const Writer&) = delete;

    // One push to the disk waiting is enough, however long a save keeps the thread busy.
    void sync(const platform::Path& path, Journal journal) {
        {
            std::lock_guard<std::mutex> lock(shared_->mutex);
            for (const Job& job : shared_->jobs) {
                if (job.kind == Work::push && job.path == path)
                    return;
            }
        }
        post(Job{Work::push, nullptr, path, std::move(journal), 0});
    }
    void grow(const platform::Path& path, std::size_t size) {
        post(Job{Work::grow, nullptr, path, nullptr, size});
    }
    void make(const platform::Path& path, std::size_t size) {
        post(Job{Work::make, nullptr, path, nullptr, size});
    }
    // A mapping that the loop needs no more: unmapping it and closing its file (which a network
    // folder may make wait) are done here.
    void release(Journal journal) {
        if (journal)
            post(Job{Work::release, nullptr, {}, std::move(journal), 0});
    }
    void save(std::shared_ptr<const Save> save) {
        post(Job{Work::write, std::move(save), {}, nullptr, 0});
    }
    std::vector<Outcome> outcomes() {
        std::lock_guard<std::mutex> lock(shared_->mutex);
        return std::exchange(shared_->done, {});
    }
    // Waits until everything handed over is done, or until the time is up: false then, and
    // the thread is left to itself.
    bool drain(std::int64_t waitMs) {
        std::unique_lock<std::mutex> lock(shared_->mutex);
        const bool idle = shared_->idle.wait_for(lock, std::chrono::milliseconds(waitMs), [this] {
            return shared_->jobs.empty() && !shared_->busy;
        });
        abandoned_ = abandoned_ || !idle;
        return idle;
    }
    bool abandoned() const { return abandoned_; }

private:
    struct Job {
        Work kind = Work::push;
        std::shared_ptr<const Save> save;
        platform::Path path;
        Journal journal;
        std::size_t size = 0;
    };
    struct Shared {
        std::mutex mutex;
        std::condition_variable wake;
        std::condition_variable idle;
        std::deque<Job> jobs;
        std::vector<Outcome> done;
        bool busy = false;
        bool stopping = false;
    };

    void post(Job job) {
        {
            std::lock_guard<std::mutex> lock(shared_->mutex);
            shared_->jobs.push_back(std::move(job));
        }
        shared_->wake.notify_all();
    }

    static void run(Shared& shared) {
        std::unique_lock<std::mutex> lock(shared.mutex);
        for (;;) {
            shared.wake.wait(lock, [&shared] { return shared.stopping || !shared.jobs.empty(); });
            if (shared.jobs.empty())
                return;
            Job job = std::move(shared.jobs.front());
            shared.jobs.pop_front();
            shared.busy = true;
            lock.unlock();
            Outcome outcome;
            // Memory for a large document may run out here: that save fails, as a full disk
            // would make it fail, and the journals keep the spots.
            try {
                if (job.kind == Work::write) {
                    outcome = write(job.save);
                } else if (job.kind == Work::push) {
                    outcome.error = job.journal->sync();
                } else if (job.kind == Work::grow) {
                    auto grown = std::make_shared<platform::MappedFile>();
                    outcome.error = grown->open(job.path, job.size, false);
                    if (!outcome.error)
                        outcome.mapping = std::move(grown);
                } else if (job.kind == Work::make) {
                    outcome.error = makeJournal(job.path, job.size, outcome.mapping);
                }
            } catch (const std::bad_alloc&) {
                outcome = Outcome{};
                outcome.save = job.save;
                outcome.error = {"memory for the save", ENOMEM};
            }
            outcome.journal = job.path;
            outcome.kind = job.kind;
            // A mapping is let go of here, away from the loop.
            job = Job{};
            lock.lock();
            if (outcome.kind != Work::release)
                shared.done.push_back(std::move(outcome));
            shared.busy = false;
            shared.idle.notify_all();
        }
    }

    // One attempt: a file that another program holds is tried again with the next save.
    static Outcome write(std::shared_ptr<const Save> save) {
        Outcome outcome;
        outcome.error = platform::replaceFileWith(
            save->document,
            [&save, &outcome](std::FILE* file) {
                platform::FileError failed;
                outcome.bytes = 0;
                writeSpotStateDocument(save->image, [&](std::string_view piece) {
                    if (!failed)
                        failed = platform::writeToSystem(file, piece);
                    outcome.bytes += piece.size();
                });
                return failed ? failed : platform::syncToDisk(file);
            },
            platform::HeldFile::tryOnce);
        if (!outcome.error) {
            for (const platform::Path& journal : save->obsolete) {
                std::error_code ignored;
                std::filesystem::remove(journal, ignored);
            }
        }
        outcome.save = std::move(save);
        return outcome;
    }

    std::shared_ptr<Shared> shared_;
    bool abandoned_ = false;
    std::thread thread_; // last: it starts running at once
};

SpotStore::SpotStore(platform::Path document, const platform::Clock& clock, std::uint64_t foldBytes)
    : document_(std::move(document)), clock_(clock), foldBytes_(foldBytes),
      writer_(std::make_unique<Writer>()) {}

SpotStore::~SpotStore() = default;

platform::Path SpotStore::journal(std::uint64_t generation) const {
    platform::Path name = document_.stem();
    name += "." + std::to_string(generation) + kJournalSuffix;
    return document_.parent_path() / name;
}

void SpotStore::open(SpotTable& table, PendingDeletes& pending, std::int32_t lifeTime) {
    const std::string shown = platform::utf8Path(document_);
    const std::int64_t loopNow = clock_.steadyMillis() / 1000;
    const std::int64_t wallNow = clock_.wallSeconds();

    // A document that cannot be used is moved aside, so that the next save does not lose it;
    // the journals are then replayed over nothing, which still brings back every call they name.
    const auto refuse = [&](const std::string& why) {
        platform::Path bad = document_;
        bad += ".bad";
        const platform::FileError kept =
            platform::moveReplacing(document_, bad, platform::HeldFile::tryOnce);
        LOG_FAILURE(kTag, "The spot state file {} {}; starting without the spots it held; {}",
                    shown, why,
                    kept ? "it could not be kept as " + platform::utf8Path(bad) + " (" +
                               platform::describe(kept) + ")"
                         : "it is kept as " + platform::utf8Path(bad));
    };
    SpotStateLoad load;
    std::error_code noSize;
    const std::uintmax_t size = std::filesystem::file_size(document_, noSize);
    std::string text;
    if (!noSize && size > kSpotStateDocumentLimit) {
        refuse(fmt::format("is {} bytes long, more than Tarnwick ever writes", size));
    } else if (const platform::FileError error = platform::readFileContents(document_, text)) {
        if (!error.missing)
            refuse("could not be read (" + platform::describe(error) + ")");
    } else {
        load = loadSpotState(text, table, pending, lifeTime, loopNow, wallNow);
        if (load.status != SpotStateStatus::loaded)
            refuse("was not used: " + load.reason);
        else
            documentBytes_ = text.size();
    }
    text = std::string();
    const bool documentLoaded = load.status == SpotStateStatus::loaded;
    const std::uint64_t from = documentLoaded ? load.generation : 0;

    // Every journal found is obsolete once the state it leads to is saved. A document's own
    // temporary files are left only by a save cut short: this bridge owns the folder, so no
    // other save can be under way.
    std::map<std::uint64_t, platform::Path> journals;
    const std::string prefix = document_.stem().u8string() + ".";
    const std::string temporaryPrefix = document_.filename().u8string() + ".";
    const platform::Path folder =
        document_.has_parent_path() ? document_.parent_path() : platform::Path(".");
    const auto numberIn = [](const std::string& name, std::size_t from, std::size_t to,
                             std::uint64_t& number) {
        const auto [stop, error] = std::from_chars(name.data() + from, name.data() + to, number);
        return to > from && error == std::errc() && stop == name.data() + to;
    };
    const auto hasEnds = [](const std::string& name, const std::string& start,
                            std::string_view end) {
        return name.size() > start.size() + end.size() &&
               name.compare(0, start.size(), start) == 0 &&
               name.compare(name.size() - end.size(), std::string::npos, end) == 0;
    };
    std::error_code unlisted;
    for (std::filesystem::directory_iterator it(folder, unlisted), end; !unlisted && it != end;
         it.increment(unlisted)) {
        // Only files: a folder of such a name is no one's journal.
        std::error_code unknown;
        if (!it->is_regular_file(unknown))
            continue;
        const std::string name = it->path().filename().u8string();
        std::uint64_t number = 0;
        if (hasEnds(name, temporaryPrefix, kTemporarySuffix) &&
            numberIn(name, temporaryPrefix.size(),
                     name.size() - std::string_view(kTemporarySuffix).size(), number)) {
            std::error_code ignored;
            if (std::filesystem::remove(it->path(), ignored))
                LOG_NONE(kTag, "Removed {}, left by a save of the spots that was cut short",
                         platform::utf8Path(it->path()));
            continue;
        }
        if (hasEnds(name, prefix, kJournalSuffix) &&
            numberIn(name, prefix.size(), name.size() - std::string_view(kJournalSuffix).size(),
                     number))
            journals.emplace(number, it->path());
    }

    // A document from before the journals says no generation: a journal last written before
    // it is older, whatever its number (a run of this build, then one of the older build).
    std::error_code noTime;
    const auto documentTime = std::filesystem::last_write_time(document_, noTime);
    const auto olderThanDocument = [&](const platform::Path& path) {
        if (!documentLoaded)
            return false;
        if (load.generationSaid)
            return false;
        std::error_code unknown;
        const auto time = std::filesystem::last_write_time(path, unknown);
        return !noTime && !unknown && time < documentTime;
    };

    const std::uint64_t droppedBefore = pending.dropped();
    JournalReplay replayed;
    std::size_t journalsRead = 0;
    for (const auto& [generation, path] : journals) {
        // Older than the document: what it holds is in the document already.
        if (generation >= from && !olderThanDocument(path)) {
            if (replay(table, pending, lifeTime, path, replayed))
                ++journalsRead;
            else
                continue; // kept aside: not the next document's to remove
        }
        obsolete_.push_back(path);
    }
    if (documentLoaded || replayed.records > 0) {
        const std::string journalsText =
            journalsRead == 1 ? "its journal" : fmt::format("{} journals", journalsRead);
        const std::string what =
            documentLoaded
                ? shown + (replayed.records > 0 ? fmt::format(" and {} changes in {}",
                                                              replayed.records, journalsText)
                                                : "")
                : fmt::format("{} changes in {} beside {} (the document itself was not read)",
                              replayed.records, journalsText, shown);
        LOG_NONE(kTag,
                 "Loaded {} spots and {} deletions for the SDR from {} ({} spots expired while "
                 "Tarnwick was stopped, {} entries refused)",
                 table.size(), pending.size(), what, load.expired + replayed.expired,
                 load.refused + replayed.refused);
    }
    const std::uint64_t dropped = load.dropped + (pending.dropped() - droppedBefore);
    if (dropped > 0)
        LOG_NONE(kTag, "{} spot deletions for the SDR were dropped: no more than {} are kept",
                 dropped, PendingDeletes::kLimit);

    if (journals.empty()) {
        startJournal(from);
        return;
    }
    generation_ = std::max(from, journals.rbegin()->first);
    fold(table, pending);
}

// A file that this build cannot use may still be someone's: it is kept, not lost to a fold.
void SpotStore::keepAside(const platform::Path& path, const std::string& why) {
    platform::Path bad = path;
    bad += ".bad";
    const platform::FileError kept =
        platform::moveReplacing(path, bad, platform::HeldFile::tryOnce);
    LOG_FAILURE(kTag, "{} {}; {}", platform::utf8Path(path), why,
                kept ? "it could not be kept as " + platform::utf8Path(bad) + " (" +
                           platform::describe(kept) + ")"
                     : "it is kept as " + platform::utf8Path(bad));
}

bool SpotStore::replay(SpotTable& table, PendingDeletes& pending, std::int32_t lifeTime,
                       const platform::Path& path, JournalReplay& totals) {
    SpotJournalReader reader(table, pending, lifeTime, clock_.steadyMillis() / 1000,
                             clock_.wallSeconds());
    errno = 0;
    platform::UniqueFile file = platform::openFile(path, "rb");
    if (!file) {
        keepAside(path, fmt::format("could not be read (error {}) and is not used", errno));
        return false;
    }
    std::vector<char> buffer(kReadBytes);
    for (;;) {
        const std::size_t n = std::fread(buffer.data(), 1, buffer.size(), file.get());
        reader.feed(std::string_view(buffer.data(), n));
        if (n < buffer.size())
            break;
    }
    const bool unread = std::ferror(file.get()) != 0;
    file.reset();
    const JournalReplay replay = reader.finish();
    totals.records += replay.records;
    totals.expired += replay.expired;
    totals.refused += replay.refused;
    if (replay.foreign) {
        keepAside(path, "is not a spot journal of this version of Tarnwick and is not used");
        return false;
    }
    if (replay.damagedAt != 0) {
        keepAside(path,
                  fmt::format("is damaged at line {}; the {} bytes from there on are not used",
                              replay.damagedAt, replay.unusedBytes));
        return false;
    }
    if (unread) {
        keepAside(path, "could not be read to its end; what was read is used");
        return false;
    }
    if (replay.torn)
        LOG_NONE(kTag, "The last change in {} was cut short when Tarnwick ended; it is not used",
                 platform::utf8Path(path));
    return true;
}

// Made on the loop thread only at the start and while no journal works; at a fold the writer
// makes the next one, and grows the one in use, so that the loop never waits for a file.
bool SpotStore::startJournal(std::uint64_t generation) {
    generation_ = generation;
    std::shared_ptr<platform::MappedFile> file;
    if (const platform::FileError error = makeJournal(journal(generation), kJournalRoom, file)) {
        journalFailed(error);
        return false;
    }
    takeJournal(std::move(file), generation);
    return true;
}

void SpotStore::takeJournal(std::shared_ptr<platform::MappedFile> file, std::uint64_t generation) {
    if (journalBroken_)
        LOG_NONE(kTag, "The changes to the spots are kept in {} again",
                 platform::utf8Path(journal(generation)));
    generation_ = generation;
    journal_ = std::move(file);
    journalBytes_ = journalHeader().size();
    journalWritten_ = true;
    journalBroken_ = false;
    growing_ = false;
    journalError_ = {};
}

// The changes that no journal could take are in memory only: a document holds them within
// kRetryMs, written in place when the folder takes no new file.
void SpotStore::journalFailed(const platform::FileError& error) {
    if (!sameFailure(error, journalError_))
        LOG_FAILURE(kTag,
                    "Could not keep the changes to the spots in {} ({}); instead, {} is saved "
                    "whole within {} seconds of each change",
                    platform::utf8Path(journal(generation_)), platform::describe(error),
                    platform::utf8Path(document_), kRetryMs / 1000);
    journalError_ = error;
    journalBroken_ = true;
    unsaved_ = true;
    journal_.reset();
    retryAtMs_ = clock_.steadyMillis() + kRetryMs;
}

void SpotStore::spotIs(const SpotEntry& entry) {
    waiting_ += journalSpotRecord(entry, clock_.steadyMillis() / 1000, clock_.wallSeconds());
}

void SpotStore::spotRemoved(const std::string& dxcall) {
    waiting_ += journalRecord(JournalMark::removed, dxcall);
}

void SpotStore::deletionPending(std::size_t link, const std::string& dxcall) {
    waiting_ += journalRecord(JournalMark::pending, dxcall, link);
}

void SpotStore::deletionSettled(std::size_t link, const std::string& dxcall) {
    waiting_ += journalRecord(JournalMark::settled, dxcall, link);
}

// A copy into the mapping: no system call, and nothing that waits for the disk. Only when the
// writer has fallen behind in making room does the loop make it itself.
void SpotStore::flush() {
    if (waiting_.empty())
        return;
    if (!journal_) {
        unsaved_ = true;
    } else {
        if (journalBytes_ + waiting_.size() > journal_->size()) {
            auto larger = std::make_shared<platform::MappedFile>();
            const std::size_t size =
                journal_->size() + std::max<std::size_t>(kJournalRoom, waiting_.size());
            if (const platform::FileError error = larger->open(journal(generation_), size, false)) {
                journalFailed(error);
                waiting_.clear();
                return;
            }
            writer_->release(std::exchange(journal_, std::move(larger)));
        }
        std::memcpy(journal_->data() + journalBytes_, waiting_.data(), waiting_.size());
        journalBytes_ += waiting_.size();
        journalWritten_ = true;
    }
    waiting_.clear();
}

void SpotStore::service(const SpotTable& table, const PendingDeletes& pending) {
    flush();
    const std::int64_t now = clock_.steadyMillis();
    noteOutcomes(now);
    if (journal_ && !growing_ && now >= growRetryAtMs_ &&
        journal_->size() - journalBytes_ < kJournalRoom / 2) {
        writer_->grow(journal(generation_), journal_->size() + kJournalRoom);
        growing_ = true;
    }
    if (journal_ && journalWritten_ && now - lastSyncMs_ >= kSyncMs) {
        writer_->sync(journal(generation_), journal_);
        lastSyncMs_ = now;
        journalWritten_ = false;
    }
    if (saving_) {
        if (savingFailed_ && now >= retryAtMs_) {
            savingFailed_ = false;
            writer_->save(saving_);
        }
        return;
    }
    // While the writer makes the next journal, nothing else may make one of that name.
    if (next_ || (journalBroken_ && unsaved_ && now >= retryAtMs_ && !making_)) {
        fold(table, pending);
    } else if (!journalBroken_ && !making_ && now >= retryAtMs_ &&
               journalBytes_ >= std::max(foldBytes_, documentBytes_)) {
        writer_->make(journal(generation_ + 1), kJournalRoom);
        making_ = true;
    }
}

// A new journal takes the changes from here on, while the writer saves the state as it is now;
// until that document is written, the old journals still count. Without a new journal the
// document is saved all the same: it is then all there is.
void SpotStore::fold(const SpotTable& table, const PendingDeletes& pending) {
    flush();
    const platform::Path old = journal(generation_);
    std::shared_ptr<platform::MappedFile> oldJournal = journal_;
    if (next_)
        takeJournal(std::move(next_), generation_ + 1);
    else
        startJournal(generation_ + 1);
    if (std::find(obsolete_.begin(), obsolete_.end(), old) == obsolete_.end())
        obsolete_.push_back(old);
    // The old journal's last changes reach the disk before the document that replaces it.
    if (oldJournal)
        writer_->sync(old, oldJournal);
    writer_->release(std::move(oldJournal));
    auto save = std::make_shared<Save>();
    save->image = spotStateImage(table, pending, clock_.steadyMillis() / 1000, clock_.wallSeconds(),
                                 generation_);
    save->document = document_;
    save->obsolete = obsolete_;
    saving_ = std::move(save);
    savingFailed_ = false;
    unsaved_ = false;
    writer_->save(saving_);
}

// A failure is said once, again when it changes, and once more when it clears; the spots stay in
// memory and in the journals.
void SpotStore::noteOutcomes(std::int64_t now) {
    std::vector<Writer::Outcome> outcomes = writer_->outcomes();
    for (Writer::Outcome& outcome : outcomes) {
        if (!outcome.save) {
            if (outcome.kind == Writer::Work::make) {
                making_ = false;
                if (outcome.mapping && outcome.journal == journal(generation_ + 1)) {
                    next_ = std::move(outcome.mapping);
                } else if (outcome.error) {
                    if (!sameFailure(outcome.error, journalError_))
                        LOG_FAILURE(kTag,
                                    "Could not start the spot journal {} ({}); the changes go on "
                                    "into {}",
                                    platform::utf8Path(outcome.journal),
                                    platform::describe(outcome.error),
                                    platform::utf8Path(journal(generation_)));
                    journalError_ = outcome.error;
                    retryAtMs_ = now + kRetryMs;
                }
                continue;
            }
            if (outcome.kind == Writer::Work::grow) {
                // The answer to a request for room, for the journal being written or an old one.
                if (outcome.journal != journal(generation_))
                    continue;
                growing_ = false;
                if (outcome.mapping && journal_ && outcome.mapping->size() > journal_->size())
                    writer_->release(std::exchange(journal_, std::move(outcome.mapping)));
                else if (outcome.error && !sameFailure(outcome.error, growError_))
                    LOG_FAILURE(kTag, "Could not give the spot journal more room ({})",
                                platform::describe(outcome.error));
                growError_ = outcome.error;
                // A full disk is asked again after a while, not at every pass.
                if (outcome.error)
                    growRetryAtMs_ = now + kRetryMs;
                continue;
            }
            if (outcome.error.missing)
                continue;
            if (outcome.error && !sameFailure(outcome.error, syncError_))
                LOG_FAILURE(kTag, "Could not push the spot journal to the disk ({})",
                            platform::describe(outcome.error));
            else if (!outcome.error && syncError_)
                LOG_NONE(kTag, "The spot journal is pushed to the disk again");
            syncError_ = outcome.error;
            continue;
        }
        if (outcome.save != saving_)
            continue;
        const std::string shown = platform::utf8Path(document_);
        if (!outcome.error) {
            if (saveError_)
                LOG_NONE(kTag, "The spots are saved to {} again", shown);
            saveError_ = {};
            documentBytes_ = outcome.bytes;
            for (const platform::Path& gone : saving_->obsolete)
                obsolete_.erase(std::remove(obsolete_.begin(), obsolete_.end(), gone),
                                obsolete_.end());
            saving_.reset();
            continue;
        }
        if (!sameFailure(outcome.error, saveError_))
            LOG_FAILURE(kTag, "Could not save the spots to {} ({}); trying again every {} seconds",
                        shown, platform::describe(outcome.error), kRetryMs / 1000);
        saveError_ = outcome.error;
        savingFailed_ = true;
        retryAtMs_ = now + kRetryMs;
    }
    // Mappings that came too late for their journal go back to be let go of.
    for (Writer::Outcome& outcome : outcomes)
        writer_->release(std::move(outcome.mapping));
}

// Bounded: a disk or a network folder that hangs must not hold the stop. What the last save
// could not finish, the journals hold; a save that ends after the process is no harm either,
// since the journals it replaces go only once it is written.
void SpotStore::close(const SpotTable& table, const PendingDeletes& pending) {
    flush();
    const std::int64_t deadline = clock_.steadyMillis() + kCloseMs;
    const auto drained = [&] {
        if (writer_->drain(std::max<std::int64_t>(0, deadline - clock_.steadyMillis())))
            return true;
        LOG_FAILURE(kTag,
                    "The spots could not be saved to {} in time; the journals beside it "
                    "keep them for the next start",
                    platform::utf8Path(document_));
        return false;
    };
    if (!drained())
        return;
    noteOutcomes(clock_.steadyMillis());
    // A journal made for a fold that did not come holds nothing.
    if (next_) {
        next_.reset();
        std::error_code ignored;
        std::filesystem::remove(journal(generation_ + 1), ignored);
    }
    const bool changed = journalBytes_ > journalHeader().size() || journalBroken_ || unsaved_ ||
                         static_cast<bool>(saving_);
    if (changed) {
        // The last document holds everything: no journal continues it.
        const platform::Path current = journal(generation_);
        journal_.reset();
        if (std::find(obsolete_.begin(), obsolete_.end(), current) == obsolete_.end())
            obsolete_.push_back(current);
        auto save = std::make_shared<Save>();
        save->image = spotStateImage(table, pending, clock_.steadyMillis() / 1000,
                                     clock_.wallSeconds(), generation_ + 1);
        save->document = document_;
        save->obsolete = obsolete_;
        saving_ = std::move(save);
        writer_->save(saving_);
    } else if (journal_) {
        // Nothing changed: the document says it all, and the empty journal goes.
        journal_.reset();
        std::error_code ignored;
        std::filesystem::remove(journal(generation_), ignored);
    }
    if (!drained())
        return;
    noteOutcomes(clock_.steadyMillis());
}
