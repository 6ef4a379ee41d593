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

// The failure of a disk that did not answer in time: no call of ours failed, the store's thread
// is still waiting in one.
constexpr const char* kLate = "the disk's answer";
const platform::FileError kDiskLate{kLate, ETIMEDOUT};

std::string described(const platform::FileError& error) {
    return std::string_view(error.call) == kLate ? "the disk did not answer in time"
                                                 : platform::describe(error);
}

// A new journal, its room on the disk taken and its first line in place. A file of that name
// already there is an error: it is not this run's to empty.
platform::FileError makeJournal(const platform::Path& path, std::size_t room,
                                std::shared_ptr<platform::MappedFile>& made) {
    auto file = std::make_shared<platform::MappedFile>();
    if (const platform::FileError error = file->open(path, room, true))
        return error;
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

// Runs the store's file work in order on a thread of its own: a journal made, given more room,
// pushed to the disk or let go of, a document written whole. The loop hands work over and picks
// up what became of it. Everything the thread touches is shared with it, so that a stop that
// cannot wait for the disk may leave it to finish, or to end with the process.
class SpotStore::Writer {
public:
    using Journal = std::shared_ptr<platform::MappedFile>;
    enum class Work { push, grow, make, fill, write, release };
    struct Outcome {
        std::shared_ptr<const Save> save;    // for a document written, or a whole state
        Journal mapping;                     // of a journal given more room, made or filled
        platform::Path journal;              // of a journal pushed to the disk, grown or made
        std::vector<platform::Path> removed; // journals made needless by the one pushed
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

    // One push to the disk waiting is enough, however long a save keeps the thread busy; the
    // journals that it makes needless go once it is done.
    void sync(const platform::Path& path, Journal journal,
              std::vector<platform::Path> needless = {}) {
        {
            std::lock_guard<std::mutex> lock(shared_->mutex);
            for (Job& job : shared_->jobs) {
                if (job.kind == Work::push && job.path == path) {
                    job.needless.insert(job.needless.end(), needless.begin(), needless.end());
                    return;
                }
            }
        }
        Job push = job(Work::push, path, std::move(journal));
        push.needless = std::move(needless);
        post(std::move(push));
    }
    void grow(const platform::Path& path, std::size_t size) {
        Job grow = job(Work::grow, path);
        grow.size = size;
        post(std::move(grow));
    }
    void make(const platform::Path& path, std::size_t size) {
        Job make = job(Work::make, path);
        make.size = size;
        post(std::move(make));
    }
    // A journal just made, filled with the whole state that `whole` holds; `named` are the
    // documents whose calls it takes back.
    void fill(const platform::Path& path, Journal journal, std::shared_ptr<const Save> whole,
              std::vector<std::shared_ptr<const Save>> named) {
        Job fill = job(Work::fill, path, std::move(journal));
        fill.save = std::move(whole);
        fill.named = std::move(named);
        post(std::move(fill));
    }
    // A mapping that the loop needs no more: unmapping it and closing its file (which a network
    // folder may make wait) are done here.
    void release(Journal journal) {
        if (journal)
            post(job(Work::release, {}, std::move(journal)));
    }
    void save(std::shared_ptr<const Save> save) {
        Job write = job(Work::write);
        write.save = std::move(save);
        post(std::move(write));
    }
    // Kept until the thread ends, even when that is after this object.
    void keep(std::shared_ptr<void> hold) {
        std::lock_guard<std::mutex> lock(shared_->mutex);
        shared_->kept = std::move(hold);
    }
    std::vector<Outcome> outcomes() {
        std::lock_guard<std::mutex> lock(shared_->mutex);
        return std::exchange(shared_->done, {});
    }
    // Waits until everything handed over is done, or until the time is up: false then.
    bool wait(std::int64_t waitMs) {
        std::unique_lock<std::mutex> lock(shared_->mutex);
        return shared_->idle.wait_for(lock, std::chrono::milliseconds(waitMs),
                                      [this] { return shared_->jobs.empty() && !shared_->busy; });
    }
    // The same at a stop: when the time is up the thread is left to itself.
    bool drain(std::int64_t waitMs) {
        const bool idle = wait(waitMs);
        abandoned_ = abandoned_ || !idle;
        return idle;
    }

private:
    struct Job {
        Work kind = Work::push;
        std::shared_ptr<const Save> save;
        platform::Path path;
        Journal journal;
        std::size_t size = 0;
        std::vector<platform::Path> needless;
        std::vector<std::shared_ptr<const Save>> named;
    };
    struct Shared {
        std::mutex mutex;
        std::condition_variable wake;
        std::condition_variable idle;
        std::deque<Job> jobs;
        std::vector<Outcome> done;
        std::shared_ptr<void> kept;
        bool busy = false;
        bool stopping = false;
    };

    static Job job(Work kind, platform::Path path = {}, Journal journal = nullptr) {
        Job made;
        made.kind = kind;
        made.path = std::move(path);
        made.journal = std::move(journal);
        return made;
    }

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
                    // Once the journal that makes them needless is on the disk.
                    for (const platform::Path& needless : job.needless) {
                        std::error_code ignored;
                        if (!outcome.error)
                            std::filesystem::remove(needless, ignored);
                        if (!outcome.error && !std::filesystem::exists(needless, ignored))
                            outcome.removed.push_back(needless);
                    }
                } else if (job.kind == Work::grow) {
                    auto grown = std::make_shared<platform::MappedFile>();
                    outcome.error = grown->open(job.path, job.size, false);
                    if (!outcome.error)
                        outcome.mapping = std::move(grown);
                } else if (job.kind == Work::make) {
                    outcome.error = makeJournal(job.path, job.size, outcome.mapping);
                } else if (job.kind == Work::fill) {
                    outcome = fill(job);
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

    // Past the first line, given more room as it fills; the outcome holds the bytes in use.
    static Outcome fill(const Job& job) {
        Outcome outcome;
        outcome.save = job.save;
        Journal mapping = job.journal;
        std::uint64_t at = journalHeader().size();
        std::vector<const SpotStateImage*> before;
        for (const auto& named : job.named)
            before.push_back(&named->image);
        writeJournalSnapshot(job.save->image, before, [&](std::string_view piece) {
            if (outcome.error)
                return;
            if (at + piece.size() > mapping->size()) {
                auto larger = std::make_shared<platform::MappedFile>();
                outcome.error = larger->open(
                    job.path, mapping->size() + std::max(kJournalRoom, piece.size()), false);
                if (outcome.error)
                    return;
                mapping = std::move(larger);
            }
            std::memcpy(mapping->data() + at, piece.data(), piece.size());
            at += piece.size();
        });
        if (!outcome.error)
            outcome.mapping = std::move(mapping);
        outcome.bytes = at;
        return outcome;
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
        if (load.status != SpotStateStatus::loaded) {
            refuse("was not used: " + load.reason);
        } else {
            documentBytes_ = text.size();
            // The calls that the document names, for a journal that is to make it needless.
            auto written = std::make_shared<Save>();
            written->image = spotStateImage(table, pending, loopNow, wallNow, load.generation);
            written_ = std::move(written);
        }
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

    // The first journal continues the document, or, after journals found, the new document
    // that folds them. It is made on the store's thread, and waited for a while: a change that
    // comes before it is only in memory until a document holds it.
    generation_ = journals.empty() ? from : std::max(from, journals.rbegin()->first);
    issued_ = journals.empty() ? from - 1 : generation_;
    askForJournal();
    writer_->wait(kCloseMs);
    noteOutcomes(clock_.steadyMillis());
    if (next_ && journals.empty())
        takeJournal(std::exchange(next_, nullptr), issued_);
    else if (next_)
        fold(table, pending);
    else if (!journalBroken_)
        journalFailed(journal(issued_), kDiskLate);
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
    // The journal itself goes with the next document, as any other: the copy keeps what the
    // hole left of it for whoever wants to look.
    if (replay.holes > 0) {
        platform::Path copy = path;
        copy += ".bad";
        std::error_code failed;
        std::filesystem::copy_file(path, copy, std::filesystem::copy_options::overwrite_existing,
                                   failed);
        LOG_FAILURE(kTag,
                    "{} has {} bytes of zeros{} from byte {} on, changes that a power cut or a "
                    "crash of the system kept from the disk: the {} changes after them are "
                    "used, the {} bytes of changes that they cut are not; {}",
                    platform::utf8Path(path), replay.holeBytes,
                    replay.holes > 1 ? fmt::format(" in {} places", replay.holes) : "",
                    replay.holeAt, replay.usedAfterHole, replay.cutBytes,
                    failed ? fmt::format("it could not be copied to {} ({})",
                                         platform::utf8Path(copy), failed.message())
                           : "a copy is kept as " + platform::utf8Path(copy));
    }
    if (replay.torn)
        LOG_NONE(kTag, "The last change in {} was cut short when Tarnwick ended; it is not used",
                 platform::utf8Path(path));
    return true;
}

// Every journal is made on the store's thread, each with a generation of its own: one that could
// not be made is never asked for again.
void SpotStore::askForJournal() {
    writer_->make(journal(++issued_), kJournalRoom);
    making_ = true;
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
    settleAt_ = 0;
}

// The changes that no journal could take are in memory only: a document holds them within
// kRetryMs, written in place when the folder takes no new file, and the store's thread is asked
// for a new journal meanwhile.
void SpotStore::journalFailed(const platform::Path& path, const platform::FileError& error) {
    if (!sameFailure(error, journalError_))
        LOG_FAILURE(kTag,
                    "Could not keep the changes to the spots in {} ({}); instead, {} is saved "
                    "whole within {} seconds of each change",
                    platform::utf8Path(path), described(error), platform::utf8Path(document_),
                    kRetryMs / 1000);
    journalError_ = error;
    if (!journalBroken_)
        retryAtMs_ = clock_.steadyMillis() + kRetryMs;
    journalBroken_ = true;
    wholeIntact_ = false;
    unsaved_ = true;
    waiting_.clear();
    writer_->release(std::exchange(journal_, nullptr));
    settleAt_ = 0;
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

// A copy into the mapping: no system call, and nothing that waits for the disk. Where the store's
// thread has fallen behind in making room, the changes wait here for it.
void SpotStore::flush() {
    if (waiting_.empty())
        return;
    if (!journal_) {
        // A whole state on its way into a journal takes them along, within the bound.
        if (filling_ && wholeIntact_ && waiting_.size() <= kMostWaiting)
            return;
        wholeIntact_ = false;
        unsaved_ = true;
        waiting_.clear();
        return;
    }
    if (journalBytes_ + waiting_.size() > journal_->size()) {
        askForRoom(waiting_.size(), clock_.steadyMillis());
        if (waiting_.size() > kMostWaiting)
            journalFailed(journal(generation_), growError_ ? growError_ : kDiskLate);
        return;
    }
    std::memcpy(journal_->data() + journalBytes_, waiting_.data(), waiting_.size());
    journalBytes_ += waiting_.size();
    journalWritten_ = true;
    waiting_.clear();
}

void SpotStore::askForRoom(std::size_t bytes, std::int64_t now) {
    if (growing_ || now < growRetryAtMs_)
        return;
    writer_->grow(journal(generation_), journal_->size() + std::max(kJournalRoom, bytes));
    growing_ = true;
}

std::uint64_t SpotStore::wholeFoldBytes() const {
    return std::min(foldBytes_, std::max<std::uint64_t>(kJournalRoom / 4, 4 * wholeBytes_));
}

void SpotStore::hand(std::shared_ptr<const Save> save) {
    handed_ = std::move(save);
    writer_->save(handed_);
}

void SpotStore::service(const SpotTable& table, const PendingDeletes& pending) {
    const std::int64_t now = clock_.steadyMillis();
    noteOutcomes(now);
    flush();
    if (journal_ && journal_->size() - journalBytes_ < kJournalRoom / 2)
        askForRoom(0, now);
    // A journal that begins with the whole state goes to the disk at once, and takes the
    // journals before it along.
    if (journal_ && settleAt_ != 0 && journalBytes_ >= settleAt_) {
        settling_ = journal(generation_);
        writer_->sync(settling_, journal_, obsolete_);
        settleAt_ = 0;
        lastSyncMs_ = now;
        journalWritten_ = false;
    } else if (journal_ && journalWritten_ && now - lastSyncMs_ >= kSyncMs) {
        writer_->sync(journal(generation_), journal_);
        lastSyncMs_ = now;
        journalWritten_ = false;
    }
    if (saving_ && !handed_ && now >= retryAtMs_)
        hand(saving_);
    // A document on its way to the disk is waited for first: written, the journals go with it;
    // failed, the new journal takes the whole state instead.
    if (next_ && !handed_ && !filling_) {
        fold(table, pending);
        return;
    }
    if (next_)
        return;
    if (filling_)
        return;
    if (journalBroken_) {
        if (!making_ && now >= makeRetryAtMs_)
            askForJournal();
        // The next journal made continues the document, whichever it turns out to be.
        if (unsaved_ && !saving_ && now >= retryAtMs_)
            saveWhole(table, pending, making_ ? issued_ : issued_ + 1);
        return;
    }
    // While the document cannot be written, each whole state is paid for by as many bytes of
    // changes, and the journals that wait for a document that does not come go at once.
    const bool held = saving_ && !handed_;
    const std::uint64_t due = held ? wholeFoldBytes() : std::max(foldBytes_, documentBytes_);
    if (!making_ && now >= makeRetryAtMs_ && !handed_ && settleAt_ == 0 && settling_.empty() &&
        (journalBytes_ >= due || (held && foldNow_)))
        askForJournal();
}

// A new journal takes the changes from here on, while the writer saves the state as it is now;
// until that document is written, the old journals still count. When the last save of the
// document failed (another program holds it), the new journal begins with the whole state
// instead.
void SpotStore::fold(const SpotTable& table, const PendingDeletes& pending) {
    if (saving_) {
        foldWhole(table, pending);
        return;
    }
    const platform::Path old = journal(generation_);
    std::shared_ptr<platform::MappedFile> oldJournal = std::exchange(journal_, nullptr);
    // Changes that the old journal had no room for go first into the new one: replayed over the
    // document they come before, each says where its call stands, as the document does.
    std::string carried = std::exchange(waiting_, {});
    takeJournal(std::exchange(next_, nullptr), issued_);
    waiting_ = std::move(carried);
    if (std::find(obsolete_.begin(), obsolete_.end(), old) == obsolete_.end())
        obsolete_.push_back(old);
    // The old journal's last changes reach the disk before the document that replaces it.
    if (oldJournal)
        writer_->sync(old, oldJournal);
    writer_->release(std::move(oldJournal));
    saveWhole(table, pending, generation_);
    flush();
}

// The new journal is to hold the whole state, and what takes back the calls that a document on
// the disk (or one on its way there) still names; the journals before it are then needless and
// go once it is on the disk. The loop only copies the state, as for a document: the store's
// thread writes it into the new journal, while the changes go on into the old one.
void SpotStore::foldWhole(const SpotTable& table, const PendingDeletes& pending) {
    flush();
    auto whole = std::make_shared<Save>();
    whole->image =
        spotStateImage(table, pending, clock_.steadyMillis() / 1000, clock_.wallSeconds(), issued_);
    whole->document = document_;
    whole->obsolete = obsolete_;
    whole->obsolete.push_back(journal(generation_));
    std::vector<std::shared_ptr<const Save>> named;
    for (const auto& save : {written_, handed_})
        if (save)
            named.push_back(save);
    filling_ = whole;
    wholeFrom_ = journal_ ? journalBytes_ : 0;
    wholeIntact_ = true;
    writer_->fill(journal(issued_), std::exchange(next_, nullptr), std::move(whole),
                  std::move(named));
}

// The whole state is in the new journal: the changes made since it was taken follow it there, and
// the changes go on in it. The document, when it can be written, holds that state.
void SpotStore::takeWhole(std::shared_ptr<platform::MappedFile> mapping, const platform::Path& path,
                          std::uint64_t bytes, const platform::FileError& error) {
    const std::shared_ptr<const Save> whole = std::exchange(filling_, nullptr);
    // Changes made since the state was taken that are no longer at hand (the journal they went
    // into failed) are in no journal: the next fold takes the state afresh.
    if (!mapping || !wholeIntact_) {
        writer_->release(std::move(mapping));
        obsolete_.push_back(path);
        if (!error)
            return;
        if (!journal_)
            journalFailed(path, error);
        else if (!sameFailure(error, journalError_))
            LOG_FAILURE(kTag, "Could not start the spot journal {} ({}); the changes go on into {}",
                        platform::utf8Path(path), described(error),
                        platform::utf8Path(journal(generation_)));
        journalError_ = error;
        makeRetryAtMs_ = clock_.steadyMillis() + kRetryMs;
        return;
    }
    std::string carried;
    if (journal_)
        carried.assign(journal_->data() + wholeFrom_, journalBytes_ - wholeFrom_);
    carried += waiting_;
    const platform::Path old = journal(generation_);
    std::shared_ptr<platform::MappedFile> oldJournal = std::exchange(journal_, nullptr);
    takeJournal(std::move(mapping), whole->image.generation);
    journalBytes_ = bytes;
    unsaved_ = false;
    if (std::find(obsolete_.begin(), obsolete_.end(), old) == obsolete_.end())
        obsolete_.push_back(old);
    if (oldJournal)
        writer_->sync(old, oldJournal);
    writer_->release(std::move(oldJournal));
    waiting_ = std::move(carried);
    settleAt_ = journalBytes_ + waiting_.size();
    saving_ = whole;
    // A failure that lasts is said again only when what it costs changes much.
    foldNow_ = false;
    wholeBytes_ = bytes;
    if (wholeSaid_ == 0 || wholeBytes_ > 2 * wholeSaid_ || 2 * wholeBytes_ < wholeSaid_) {
        LOG_FAILURE(kTag,
                    "{} cannot be replaced ({}): the spots are kept whole in the journal {} "
                    "instead ({} KiB), afresh every {} KiB of changes, until it can",
                    platform::utf8Path(document_),
                    saveError_ ? described(saveError_) : "an earlier save is not done",
                    platform::utf8Path(journal(generation_)), (wholeBytes_ + 1023) / 1024,
                    wholeFoldBytes() / 1024);
        wholeSaid_ = std::max<std::uint64_t>(1, wholeBytes_);
    }
    flush();
}

// The whole state, for the document; the journals before `generation` go once it is written.
void SpotStore::saveWhole(const SpotTable& table, const PendingDeletes& pending,
                          std::uint64_t generation) {
    auto save = std::make_shared<Save>();
    save->image = spotStateImage(table, pending, clock_.steadyMillis() / 1000, clock_.wallSeconds(),
                                 generation);
    save->document = document_;
    save->obsolete = obsolete_;
    if (journalBroken_ && std::find(save->obsolete.begin(), save->obsolete.end(),
                                    journal(generation_)) == save->obsolete.end())
        save->obsolete.push_back(journal(generation_));
    saving_ = std::move(save);
    unsaved_ = false;
    retryAtMs_ = clock_.steadyMillis() + kRetryMs;
    if (!handed_)
        hand(saving_);
}

// A failure is said once, again when it changes, and once more when it clears; the spots stay in
// memory and in the journals.
void SpotStore::noteOutcomes(std::int64_t now) {
    std::vector<Writer::Outcome> outcomes = writer_->outcomes();
    for (Writer::Outcome& outcome : outcomes) {
        if (outcome.kind == Writer::Work::make) {
            making_ = false;
            if (outcome.mapping && outcome.journal == journal(issued_)) {
                next_ = std::move(outcome.mapping);
                continue;
            }
            if (!outcome.error)
                continue;
            // Without a journal that works, said with what it costs.
            if (!journal_)
                journalFailed(outcome.journal, outcome.error);
            else if (!sameFailure(outcome.error, journalError_))
                LOG_FAILURE(kTag,
                            "Could not start the spot journal {} ({}); the changes go on into {}",
                            platform::utf8Path(outcome.journal), described(outcome.error),
                            platform::utf8Path(journal(generation_)));
            journalError_ = outcome.error;
            makeRetryAtMs_ = now + kRetryMs;
            continue;
        }
        if (outcome.kind == Writer::Work::fill) {
            takeWhole(std::move(outcome.mapping), outcome.journal, outcome.bytes, outcome.error);
            continue;
        }
        if (outcome.kind == Writer::Work::grow) {
            // The answer to a request for room, for the journal being written or an old one.
            if (outcome.journal != journal(generation_) || !journal_)
                continue;
            growing_ = false;
            if (outcome.mapping && outcome.mapping->size() > journal_->size())
                writer_->release(std::exchange(journal_, std::move(outcome.mapping)));
            else if (outcome.error && !sameFailure(outcome.error, growError_))
                LOG_FAILURE(kTag, "Could not give the spot journal more room ({})",
                            described(outcome.error));
            growError_ = outcome.error;
            // A full disk is asked again after a while, not at every pass.
            if (outcome.error)
                growRetryAtMs_ = now + kRetryMs;
            continue;
        }
        if (outcome.kind == Writer::Work::push) {
            if (outcome.journal == settling_)
                settling_.clear();
            for (const platform::Path& gone : outcome.removed)
                obsolete_.erase(std::remove(obsolete_.begin(), obsolete_.end(), gone),
                                obsolete_.end());
            if (outcome.error.missing)
                continue;
            if (outcome.error && !sameFailure(outcome.error, syncError_))
                LOG_FAILURE(kTag, "Could not push the spot journal to the disk ({})",
                            described(outcome.error));
            else if (!outcome.error && syncError_)
                LOG_NONE(kTag, "The spot journal is pushed to the disk again");
            syncError_ = outcome.error;
            continue;
        }
        if (!outcome.save || outcome.save != handed_)
            continue;
        handed_.reset();
        const std::string shown = platform::utf8Path(document_);
        if (outcome.error) {
            if (!sameFailure(outcome.error, saveError_))
                LOG_FAILURE(kTag,
                            "Could not save the spots to {} ({}); trying again every {} seconds",
                            shown, described(outcome.error), kRetryMs / 1000);
            saveError_ = outcome.error;
            retryAtMs_ = now + kRetryMs;
            foldNow_ = !obsolete_.empty();
            continue;
        }
        if (saveError_)
            LOG_NONE(kTag, "The spots are saved to {} again", shown);
        saveError_ = {};
        wholeSaid_ = 0;
        documentBytes_ = outcome.bytes;
        written_ = outcome.save;
        for (const platform::Path& gone : outcome.save->obsolete)
            obsolete_.erase(std::remove(obsolete_.begin(), obsolete_.end(), gone), obsolete_.end());
        // A newer state waits to be written: at once.
        if (saving_ == outcome.save)
            saving_.reset();
        else if (saving_)
            hand(saving_);
    }
    // Mappings that came too late for their journal go back to be let go of.
    for (Writer::Outcome& outcome : outcomes)
        writer_->release(std::move(outcome.mapping));
}

// Bounded: a disk or a network folder that hangs must not hold the stop. What the last save
// could not finish, the journals hold; a save that ends after the process is no harm either,
// since the journals it replaces go only once it is written.
bool SpotStore::close(const SpotTable& table, const PendingDeletes& pending,
                      std::shared_ptr<void> hold) {
    writer_->keep(std::move(hold));
    flush();
    const std::int64_t deadline = clock_.steadyMillis() + kCloseMs;
    const auto drained = [&] {
        if (writer_->drain(std::max<std::int64_t>(0, deadline - clock_.steadyMillis())))
            return true;
        LOG_FAILURE(kTag, "The spots could not be saved to {} in time; {}",
                    platform::utf8Path(document_),
                    journalBroken_ || unsaved_ || !waiting_.empty()
                        ? "the changes that no journal took since its last save are lost"
                        : "the journals beside it keep them for the next start");
        return false;
    };
    if (!drained())
        return false;
    noteOutcomes(clock_.steadyMillis());
    // A journal made for a fold that did not come holds nothing.
    if (next_) {
        next_.reset();
        std::error_code ignored;
        std::filesystem::remove(journal(issued_), ignored);
    }
    const bool changed = journalBytes_ > journalHeader().size() || journalBroken_ || unsaved_ ||
                         !waiting_.empty() || static_cast<bool>(saving_);
    if (changed) {
        // The last document holds everything: no journal continues it.
        if (std::find(obsolete_.begin(), obsolete_.end(), journal(generation_)) == obsolete_.end())
            obsolete_.push_back(journal(generation_));
        writer_->release(std::exchange(journal_, nullptr));
        waiting_.clear();
        saveWhole(table, pending, issued_ + 1);
    } else if (journal_) {
        // Nothing changed: the document says it all, and the empty journal goes once its
        // mapping is let go of.
        writer_->release(std::exchange(journal_, nullptr));
        if (!drained())
            return false;
        std::error_code ignored;
        std::filesystem::remove(journal(generation_), ignored);
    }
    if (!drained())
        return false;
    noteOutcomes(clock_.steadyMillis());
    return true;
}
