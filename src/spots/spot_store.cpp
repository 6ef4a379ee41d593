#include "spots/spot_store.h"

#include "diag/log.h"
#include "platform/paths.h"

#include <algorithm>
#include <cerrno>
#include <charconv>
#include <condition_variable>
#include <deque>
#include <filesystem>
#include <map>
#include <mutex>
#include <system_error>
#include <thread>
#include <utility>

namespace {

constexpr const char* kTag = "Orvex::t";
constexpr const char* kJournalSuffix = ".journal";
// Journals are read this much at a time.
constexpr std::size_t kReadBytes = 64 * 1024;

bool sameFailure(const platform::FileError& a, const platform::FileError& b) {
    return a && b && a.code == b.code && std::string_view(a.call) == b.call;
}

} // namespace

struct SpotStore::Save {
    SpotStateImage image;
    platform::Path document;
    std::vector<platform::Path> obsolete; // removed once the document is written
};

// Runs the store's file work in order on a thread of its own: a journal pushed to the disk, a
// document written whole. The loop hands work over and picks up what became of it.
class SpotStore::Writer {
public:
    struct Outcome {
        std::shared_ptr<const Save> save; // null for a journal pushed to the disk
        platform::FileError error;
        std::uint64_t bytes = 0;
    };

    Writer() : thread_([this] { run(); }) {}
    ~Writer() {
        {
            std::lock_guard<std::mutex> lock(mutex_);
            stopping_ = true;
        }
        wake_.notify_all();
        thread_.join();
    }
    Writer(const Writer&) = delete;
    Writer& operator=(const Writer&) = delete;

    // One push to the disk waiting is enough, however long a save keeps the thread busy.
    void sync(const platform::Path& journal) {
        {
            std::lock_guard<std::mutex> lock(mutex_);
            for (const Job& job : jobs_) {
                if (!job.save && job.journal == journal)
                    return;
            }
        }
        post(Job{nullptr, journal});
    }
    void save(std::shared_ptr<const Save> save) { post(Job{std::move(save), {}}); }
    std::vector<Outcome> outcomes() {
        std::lock_guard<std::mutex> lock(mutex_);
        return std::exchange(done_, {});
    }
    // Waits until everything handed over is done.
    void drain() {
        std::unique_lock<std::mutex> lock(mutex_);
        idle_.wait(lock, [this] { return jobs_.empty() && !busy_; });
    }

private:
    struct Job {
        std::shared_ptr<const Save> save;
        platform::Path journal;
    };

    void post(Job job) {
        {
            std::lock_guard<std::mutex> lock(mutex_);
            jobs_.push_back(std::move(job));
        }
        wake_.notify_all();
    }

    void run() {
        std::unique_lock<std::mutex> lock(mutex_);
        for (;;) {
            wake_.wait(lock, [this] { return stopping_ || !jobs_.empty(); });
            if (jobs_.empty())
                return;
            Job job = std::move(jobs_.front());
            jobs_.pop_front();
            busy_ = true;
            lock.unlock();
            Outcome outcome;
            if (job.save)
                outcome = write(std::move(job.save));
            else
                outcome.error = platform::flushToDisk(job.journal);
            lock.lock();
            done_.push_back(std::move(outcome));
            busy_ = false;
            idle_.notify_all();
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

    std::mutex mutex_;
    std::condition_variable wake_;
    std::condition_variable idle_;
    std::deque<Job> jobs_;
    std::vector<Outcome> done_;
    bool busy_ = false;
    bool stopping_ = false;
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

    // Every journal found is obsolete once the state it leads to is saved.
    std::map<std::uint64_t, platform::Path> journals;
    const std::string prefix = document_.stem().u8string() + ".";
    const platform::Path folder =
        document_.has_parent_path() ? document_.parent_path() : platform::Path(".");
    std::error_code unlisted;
    for (std::filesystem::directory_iterator it(folder, unlisted), end; !unlisted && it != end;
         it.increment(unlisted)) {
        const std::string name = it->path().filename().u8string();
        if (name.size() <= prefix.size() + std::string_view(kJournalSuffix).size() ||
            name.compare(0, prefix.size(), prefix) != 0 ||
            name.compare(name.size() - std::string_view(kJournalSuffix).size(), std::string::npos,
                         kJournalSuffix) != 0)
            continue;
        const std::string digits = name.substr(
            prefix.size(), name.size() - prefix.size() - std::string_view(kJournalSuffix).size());
        std::uint64_t generation = 0;
        const auto [stop, error] =
            std::from_chars(digits.data(), digits.data() + digits.size(), generation);
        if (error == std::errc() && stop == digits.data() + digits.size())
            journals.emplace(generation, it->path());
    }

    const std::uint64_t droppedBefore = pending.dropped();
    JournalReplay replayed;
    for (const auto& [generation, path] : journals) {
        // Older than the document: what it holds is in the document already.
        if (generation >= from)
            replay(table, pending, lifeTime, path, replayed);
        obsolete_.push_back(path);
    }
    if (documentLoaded || replayed.records > 0)
        LOG_NONE(kTag,
                 "Loaded {} spots and {} deletions for the SDR from {}{} ({} spots expired while "
                 "Tarnwick was stopped, {} entries refused)",
                 table.size(), pending.size(), shown,
                 replayed.records > 0
                     ? fmt::format(" and {} changes in its journals", replayed.records)
                     : "",
                 load.expired + replayed.expired, load.refused + replayed.refused);
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

void SpotStore::replay(SpotTable& table, PendingDeletes& pending, std::int32_t lifeTime,
                       const platform::Path& path, JournalReplay& totals) {
    const std::string shown = platform::utf8Path(path);
    SpotJournalReader reader(table, pending, lifeTime, clock_.steadyMillis() / 1000,
                             clock_.wallSeconds());
    errno = 0;
    platform::UniqueFile file = platform::openFile(path, "rb");
    if (!file) {
        LOG_FAILURE(kTag, "The spot journal {} could not be read (error {}); it is not used", shown,
                    errno);
        return;
    }
    std::vector<char> buffer(kReadBytes);
    for (;;) {
        const std::size_t n = std::fread(buffer.data(), 1, buffer.size(), file.get());
        reader.feed(std::string_view(buffer.data(), n));
        if (n < buffer.size())
            break;
    }
    if (std::ferror(file.get()))
        LOG_FAILURE(kTag, "The spot journal {} could not be read to its end; what was read is used",
                    shown);
    const JournalReplay replay = reader.finish();
    totals.records += replay.records;
    totals.expired += replay.expired;
    totals.refused += replay.refused;
    if (replay.foreign)
        LOG_FAILURE(kTag, "{} is not a spot journal of this version of Tarnwick; it is not used",
                    shown);
    else if (replay.damagedAt != 0)
        LOG_FAILURE(kTag,
                    "The spot journal {} is damaged at line {}; the {} bytes from there on "
                    "are not used",
                    shown, replay.damagedAt, replay.unusedBytes);
    else if (replay.torn)
        LOG_NONE(kTag, "The last change in {} was cut short when Tarnwick ended; it is not used",
                 shown);
}

bool SpotStore::startJournal(std::uint64_t generation) {
    const platform::Path path = journal(generation);
    errno = 0;
    platform::UniqueFile file = platform::openFile(path, "wb");
    const std::string header = journalHeader();
    platform::FileError error;
    if (!file)
        error = {"fopen", static_cast<unsigned long>(errno != 0 ? errno : EIO), errno == ENOENT};
    else
        error = platform::writeToSystem(file.get(), header);
    if (error) {
        journalFailed(error);
        return false;
    }
    if (journalBroken_)
        LOG_NONE(kTag, "The changes to the spots are kept in {} again", platform::utf8Path(path));
    journal_ = std::move(file);
    generation_ = generation;
    journalBytes_ = header.size();
    journalWritten_ = true;
    journalBroken_ = false;
    journalError_ = {};
    return true;
}

// The changes that no journal could take are in memory only: the next document holds them.
void SpotStore::journalFailed(const platform::FileError& error) {
    if (!sameFailure(error, journalError_))
        LOG_FAILURE(kTag,
                    "Could not write the changes to the spots to {} ({}); they are saved whole to "
                    "{} instead",
                    platform::utf8Path(journal(generation_)), platform::describe(error),
                    platform::utf8Path(document_));
    journalError_ = error;
    journalBroken_ = true;
    journal_.reset();
    retryAtMs_ = clock_.steadyMillis() + kRetryMs;
}

void SpotStore::spotIs(const SpotEntry& entry) {
    waiting_ += journalSpotRecord(entry, clock_.steadyMillis() / 1000, clock_.wallSeconds());
}

void SpotStore::spotRemoved(const std::string& dxcall) {
    waiting_ += journalRecord(JournalMark::removed, dxcall);
}

void SpotStore::deletionPending(const std::string& dxcall) {
    waiting_ += journalRecord(JournalMark::pending, dxcall);
}

void SpotStore::deletionSettled(const std::string& dxcall) {
    waiting_ += journalRecord(JournalMark::settled, dxcall);
}

void SpotStore::flush() {
    if (waiting_.empty())
        return;
    if (journal_) {
        if (const platform::FileError error = platform::writeToSystem(journal_.get(), waiting_)) {
            journalFailed(error);
        } else {
            journalBytes_ += waiting_.size();
            journalWritten_ = true;
        }
    }
    waiting_.clear();
}

void SpotStore::service(const SpotTable& table, const PendingDeletes& pending) {
    flush();
    const std::int64_t now = clock_.steadyMillis();
    noteOutcomes(now);
    if (journal_ && journalWritten_ && now - lastSyncMs_ >= kSyncMs) {
        writer_->sync(journal(generation_));
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
    if ((journalBroken_ || journalBytes_ >= std::max(foldBytes_, documentBytes_)) &&
        now >= retryAtMs_)
        fold(table, pending);
}

// A new journal takes the changes from here on, while the writer saves the state as it is now;
// until that document is written, the old journals still count.
void SpotStore::fold(const SpotTable& table, const PendingDeletes& pending) {
    flush();
    const platform::Path old = journal(generation_);
    const bool hadJournal = static_cast<bool>(journal_);
    if (!startJournal(generation_ + 1))
        return;
    if (std::find(obsolete_.begin(), obsolete_.end(), old) == obsolete_.end())
        obsolete_.push_back(old);
    // The old journal's last changes reach the disk before the document that replaces it.
    if (hadJournal)
        writer_->sync(old);
    auto save = std::make_shared<Save>();
    save->image = spotStateImage(table, pending, clock_.steadyMillis() / 1000, clock_.wallSeconds(),
                                 generation_);
    save->document = document_;
    save->obsolete = obsolete_;
    saving_ = std::move(save);
    savingFailed_ = false;
    writer_->save(saving_);
}

// A failed save is said once, and once more when saving works again; the spots stay in memory
// and in the journals.
void SpotStore::noteOutcomes(std::int64_t now) {
    for (Writer::Outcome& outcome : writer_->outcomes()) {
        if (!outcome.save) {
            if (outcome.error && !outcome.error.missing &&
                !sameFailure(outcome.error, journalError_))
                LOG_FAILURE(kTag, "Could not push the spot journal to the disk ({})",
                            platform::describe(outcome.error));
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
}

void SpotStore::close(const SpotTable& table, const PendingDeletes& pending) {
    flush();
    writer_->drain();
    noteOutcomes(clock_.steadyMillis());
    const bool changed =
        journalBytes_ > journalHeader().size() || journalBroken_ || static_cast<bool>(saving_);
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
    writer_->drain();
    noteOutcomes(clock_.steadyMillis());
}
