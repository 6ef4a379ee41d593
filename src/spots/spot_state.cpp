#include "spots/spot_state.h"

#include <tinyxml2.h>

#include <algorithm>
#include <charconv>
#include <cmath>
#include <initializer_list>
#include <limits>
#include <system_error>
#include <unordered_set>
#include <utility>

namespace {

using tinyxml2::XMLElement;

constexpr const char* kRoot = "TarnwickSpots";
constexpr const char* kVersion = "1";
constexpr const char* kSpot = "Spot";
constexpr const char* kPendingDelete = "PendingDelete";
constexpr std::int64_t kInt64Max = std::numeric_limits<std::int64_t>::max();

constexpr const char* kHeaderComment =
    " Spots that Tarnwick has sent to the SDR, and deletions the SDR may not have heard yet.\n"
    "     Written by Tarnwick while it runs; what changed since is in the journals beside it\n"
    "     (Tarnwick.spots.N.journal). It reads them all back when it starts again. ";

constexpr const char* kJournalRoot = "TarnwickJournal";
constexpr const char* kRemoved = "Removed";
constexpr const char* kSettled = "Settled";

// Pieces of about this size go to the sink.
constexpr std::size_t kPieceBytes = 64 * 1024;

// An attribute value between double quotes, every byte kept: the reader turns a line end into
// another and a tab into a blank unless they come as character references. At most six bytes
// stand for one, which the limits in the header count on.
void appendEscaped(std::string& out, std::string_view text) {
    for (const char c : text) {
        const auto byte = static_cast<unsigned char>(c);
        if (c == '&') {
            out += "&amp;";
        } else if (c == '<') {
            out += "&lt;";
        } else if (c == '"') {
            out += "&quot;";
        } else if (byte < 0x20) {
            constexpr char kHex[] = "0123456789ABCDEF";
            out += "&#x";
            if (byte >= 0x10)
                out += kHex[byte >> 4];
            out += kHex[byte & 0xF];
            out += ';';
        } else {
            out += c;
        }
    }
}

void appendAttribute(std::string& out, std::string_view name, std::string_view value) {
    out += ' ';
    out += name;
    out += "=\"";
    appendEscaped(out, value);
    out += '"';
}

std::string shortestText(double value) {
    char digits[32];
    const auto printed = std::to_chars(digits, digits + sizeof digits, value);
    return printed.ec == std::errc() ? std::string(digits, printed.ptr) : std::string("0");
}

// A spot's fields as written, wherever its texts are kept.
struct SpotView {
    std::string_view dxcall;
    std::string_view mode;
    std::string_view comment;
    double frequencyHz = 0.0;
    std::int64_t colour = 0;
    std::int64_t age = 0;
    bool hidden = false;
    std::string_view status = kNoneText;
    std::string_view marks;
    double n1mmKHz = 0.0;
    ModeKind kind = ModeKind::unknown;
};

SpotView viewOf(const SpotStateImage& image, const SavedSpot& spot) {
    return SpotView{image[spot.dxcall], image[spot.mode],   image[spot.comment],
                    spot.frequencyHz,   spot.colour,        spot.age,
                    spot.hidden,        image[spot.status], image[spot.marks],
                    spot.n1mmKHz,       spot.kind};
}

void appendSpot(std::string& out, std::string_view indent, const SpotView& spot,
                const std::int64_t* saved) {
    out += indent;
    out += '<';
    out += kSpot;
    appendAttribute(out, "dxcall", spot.dxcall);
    appendAttribute(out, "mode", spot.mode);
    appendAttribute(out, "frequencyHz", shortestText(spot.frequencyHz));
    appendAttribute(out, "colour", std::to_string(spot.colour));
    appendAttribute(out, "age", std::to_string(spot.age));
    if (saved != nullptr)
        appendAttribute(out, "saved", std::to_string(*saved));
    // Saved as the SDR was sent it: the command cannot carry control characters anyway.
    appendAttribute(out, "comment", tciSafeText(spot.comment));
    // Only where it is so: a spot without it is shown, as in every document before it.
    if (spot.hidden)
        appendAttribute(out, "hidden", "1");
    if (spot.n1mmKHz != 0.0)
        appendAttribute(out, "khz", shortestText(spot.n1mmKHz));
    if (spot.kind != ModeKind::unknown)
        appendAttribute(out, "kind", modeKindWord(spot.kind));
    if (!spot.status.empty() && spot.status != kNoneText)
        appendAttribute(out, "status", tciSafeText(spot.status));
    if (!spot.marks.empty())
        appendAttribute(out, "qsos", spot.marks);
    out += "/>\n";
}

// A later link's deletion says its link, and its call where an older build looks for none.
void appendMark(std::string& out, std::string_view indent, const char* name,
                std::string_view dxcall, std::size_t link = 0) {
    out += indent;
    out += '<';
    out += name;
    if (link == 0) {
        appendAttribute(out, "dxcall", dxcall);
    } else {
        appendAttribute(out, "link", std::to_string(link + 1));
        appendAttribute(out, "call", dxcall);
    }
    out += "/>\n";
}

// Ages, not times: the loop's clock starts afresh with every run.
std::int64_t ageOf(const SpotEntry& entry, std::int64_t loopNow) {
    return loopNow > entry.received ? loopNow - entry.received : 0;
}

TextSpan keep(std::string& text, std::string_view field) {
    const TextSpan span{text.size(), field.size()};
    text += field;
    return span;
}

// The whole attribute must be the number: a document that says more has been tampered with.
bool readInt64(const XMLElement& element, const char* name, std::int64_t& out) {
    const char* text = element.Attribute(name);
    if (text == nullptr) {
        return false;
    }
    const std::string_view view(text);
    const auto [end, error] = std::from_chars(view.data(), view.data() + view.size(), out);
    return error == std::errc() && end == view.data() + view.size();
}

bool readFiniteDouble(const XMLElement& element, const char* name, double& out) {
    const char* text = element.Attribute(name);
    if (text == nullptr) {
        return false;
    }
    const std::string_view view(text);
    const auto [end, error] = std::from_chars(view.data(), view.data() + view.size(), out);
    return error == std::errc() && end == view.data() + view.size() && std::isfinite(out);
}

bool isModeWord(std::string_view mode) {
    for (const char* word : {"cw", "rtty", "usb", "lsb", "psk", "unk"}) {
        if (mode == word) {
            return true;
        }
    }
    return false;
}

// The link that a deletion's record is for, from 0; empty for one this build does not know.
std::optional<std::size_t> recordLink(const XMLElement& element) {
    const char* link = element.Attribute("link");
    if (link == nullptr)
        return 0;
    if (std::string_view(link) == "2")
        return 1;
    return std::nullopt;
}

// A call sign that a spot could have been relayed with; anything else is no one's. A later
// link's deletion names it under "call".
const char* usableCall(const XMLElement& element, std::size_t link = 0) {
    const char* call = element.Attribute(link == 0 ? "dxcall" : "call");
    if (call == nullptr || *call == '\0' || std::string_view(call).size() > kCallSignLimit) {
        return nullptr;
    }
    return call;
}

// A spot's details as saved; empty when any of them is missing or damaged.
std::optional<SpotEntry> readSpot(const XMLElement& element, const char* call, std::int64_t& age) {
    SpotEntry entry;
    const char* mode = element.Attribute("mode");
    const char* comment = element.Attribute("comment");
    if (mode == nullptr || !isModeWord(mode) || comment == nullptr ||
        !readFiniteDouble(element, "frequencyHz", entry.frequencyHz) ||
        !readInt64(element, "colour", entry.colour) || !readInt64(element, "age", age) || age < 0) {
        return std::nullopt;
    }
    // The fields that only a log line could use were never saved.
    for (std::string* field : {&entry.StationName, &entry.frequency, &entry.spottercall,
                               &entry.status, &entry.statuslist, &entry.timestamp}) {
        *field = kNoneText;
    }
    entry.dxcall = call;
    entry.action = "add";
    entry.mode = mode;
    entry.comment = comment;
    entry.hidden = element.BoolAttribute("hidden", false);
    // Each of these only where it was written; a damaged one costs the spot only its marking.
    if (!readFiniteDouble(element, "khz", entry.n1mmKHz))
        entry.n1mmKHz = 0.0;
    if (const char* kind = element.Attribute("kind"))
        entry.kind = modeKindFromWord(kind).value_or(ModeKind::unknown);
    if (const char* status = element.Attribute("status"))
        entry.status = status;
    if (const char* marks = element.Attribute("qsos"))
        entry.marks = readMarks(marks).value_or(std::vector<QsoMark>());
    return entry;
}

std::int64_t saturatingSum(std::int64_t a, std::int64_t b) {
    return a > kInt64Max - b ? kInt64Max : a + b;
}

// The document is read a few hundred kilobytes at a time: a whole table of long comments as one
// parsed document would take more than twice its size again, and the table fills meanwhile.
constexpr std::size_t kBatchBytes = 256 * 1024;
constexpr std::size_t kNowhere = std::string_view::npos;

enum class Markup { element, endTag, other, none };

struct Span {
    Markup kind = Markup::none;
    std::size_t start = kNowhere;
    std::size_t end = kNowhere; // one past its last character; kNowhere when it never ends
    bool empty = false;         // an element written as <name/>
};

std::size_t endAfter(std::string_view text, std::size_t from, std::string_view closing) {
    const std::size_t found = text.find(closing, from);
    return found == kNowhere ? kNowhere : found + closing.size();
}

// One past the '>' of the tag that starts at `at`; a '>' inside a quoted value does not end it.
std::size_t tagEnd(std::string_view text, std::size_t at) {
    char quote = 0;
    for (std::size_t i = at + 1; i < text.size(); ++i) {
        const char c = text[i];
        if (quote != 0) {
            quote = c == quote ? 0 : quote;
        } else if (c == '"' || c == '\'') {
            quote = c;
        } else if (c == '>') {
            return i + 1;
        }
    }
    return kNowhere;
}

// The next piece of markup at or after `at`. Character data cannot hold a '<', so every '<'
// starts one; the parser then judges each piece in full.
Span nextMarkup(std::string_view text, std::size_t at) {
    Span span;
    span.start = text.find('<', at);
    if (span.start == kNowhere) {
        return span;
    }
    const std::string_view rest = text.substr(span.start);
    const auto startsWith = [&](std::string_view prefix) {
        return rest.substr(0, prefix.size()) == prefix;
    };
    span.kind = Markup::other;
    if (startsWith("<!--")) {
        span.end = endAfter(text, span.start + 4, "-->");
    } else if (startsWith("<![CDATA[")) {
        span.end = endAfter(text, span.start + 9, "]]>");
    } else if (startsWith("<?")) {
        span.end = endAfter(text, span.start + 2, "?>");
    } else {
        span.end = tagEnd(text, span.start);
        if (startsWith("</")) {
            span.kind = Markup::endTag;
        } else if (!startsWith("<!")) {
            span.kind = Markup::element;
            span.empty = span.end != kNowhere && text[span.end - 2] == '/';
        }
    }
    return span;
}

std::string_view elementName(std::string_view tag) {
    std::size_t end = tag.find_first_of(" \t\r\n/>", 1);
    return tag.substr(1, (end == kNowhere ? tag.size() : end) - 1);
}

std::string notWellFormed(const tinyxml2::XMLDocument& document, std::size_t firstLine) {
    return "it is not well-formed XML (line " +
           std::to_string(firstLine + static_cast<std::size_t>(document.ErrorLineNum()) - 1) + ")";
}

// Fills a table and a pending list of its own, so that a document found unreadable half-way
// leaves the caller's untouched.
class Loader {
public:
    Loader(std::int32_t lifeTime, std::int64_t loopNow, std::int64_t down, std::size_t links)
        : lifeTime_(lifeTime), loopNow_(loopNow), down_(down), pending_(links) {}

    void take(const XMLElement& element) {
        const std::string_view name = element.Name();
        if (name == kPendingDelete) {
            takePendingDelete(element);
        } else if (name == kSpot) {
            takeSpot(element);
        }
    }

    // Deletions of spots that ended while the bridge was down follow those the document holds.
    void finish(SpotTable& table, PendingDeletes& pending, SpotStateLoad& load) {
        for (std::string_view call : late_.calls()) {
            pending_.remember(std::string(call));
        }
        load.dropped = pending_.dropped() + late_.dropped();
        table = std::move(table_);
        pending = std::move(pending_);
        load.status = SpotStateStatus::loaded;
        load.expired = expired_;
        load.refused = refused_;
    }

private:
    void takePendingDelete(const XMLElement& element) {
        const std::optional<std::size_t> link = recordLink(element);
        const char* call = link ? usableCall(element, *link) : nullptr;
        if (call == nullptr) {
            ++refused_;
            return;
        }
        // A call is live or waiting for its deletion, never both: the later entry decides. A
        // link that this run does not have owes nothing.
        table_.remove(call);
        if (*link < pending_.links())
            pending_.link(*link).remember(call);
    }

    void takeSpot(const XMLElement& element) {
        const char* call = usableCall(element);
        if (call == nullptr) {
            // No spot can have been relayed with it: there is nothing to delete either.
            ++refused_;
            return;
        }
        std::int64_t age = 0;
        std::optional<SpotEntry> entry = readSpot(element, call, age);
        if (!entry) {
            // The SDR may still show it.
            ++refused_;
            deleteLater(call);
            return;
        }
        age = saturatingSum(age, down_);
        if (lifeTime_ < 0 || age > lifeTime_) {
            ++expired_;
            deleteLater(call);
            return;
        }
        // The age is at most lifeTime here: only a loop clock near its lowest value could make
        // the difference overflow.
        constexpr std::int64_t lowest = std::numeric_limits<std::int64_t>::min();
        entry->received = loopNow_ >= lowest + age ? loopNow_ - age : lowest;
        boundSpotEntry(*entry);
        pending_.forget(entry->dxcall);
        late_.forget(entry->dxcall);
        SpotTable::Added added = table_.add(std::move(*entry));
        if (added.evicted) {
            ++refused_;
            late_.remember(added.evicted->dxcall);
        }
    }

    void deleteLater(const std::string& call) {
        table_.remove(call);
        late_.remember(call);
    }

    std::int32_t lifeTime_;
    std::int64_t loopNow_;
    std::int64_t down_;
    SpotTable table_;
    PendingDeletes pending_;
    LinkDeletes late_; // owed to every link
    std::size_t expired_ = 0;
    std::size_t refused_ = 0;
};

// The prolog and the root element's start tag, read on their own (the root closed at once), so
// that the root tells what the document is before anything else is read. Empty when it is not a
// document of ours, with the reason in load; its generation goes there too.
std::optional<std::int64_t> readRoot(std::string_view text, const Span& root, SpotStateLoad& load) {
    std::string head(text.substr(0, root.kind == Markup::element ? root.end : kNowhere));
    if (root.kind == Markup::element && !root.empty && root.end != kNowhere) {
        head += "</" + std::string(elementName(text.substr(root.start))) + ">";
    }
    tinyxml2::XMLDocument document;
    if (document.Parse(head.data(), head.size()) != tinyxml2::XML_SUCCESS) {
        load.reason = document.ErrorID() == tinyxml2::XML_ERROR_EMPTY_DOCUMENT
                          ? "it is empty"
                          : notWellFormed(document, 1);
        return std::nullopt;
    }
    const XMLElement* element = document.RootElement();
    if (element == nullptr) {
        load.reason = "it holds no element";
        return std::nullopt;
    }
    if (std::string_view(element->Name()) != kRoot) {
        load.status = SpotStateStatus::foreign;
        load.reason =
            std::string("it is a <") + element->Name() + "> document, not <" + kRoot + ">";
        return std::nullopt;
    }
    const char* version = element->Attribute("version");
    if (version == nullptr || std::string_view(version) != kVersion) {
        load.status = SpotStateStatus::foreign;
        load.reason = std::string("it is of version ") + (version ? version : "(none)") +
                      ", this program reads version " + kVersion;
        return std::nullopt;
    }
    std::int64_t saved = 0;
    if (!readInt64(*element, "saved", saved)) {
        load.reason = "it does not say when it was saved";
        return std::nullopt;
    }
    // Written since there are journals; a document without one had none beside it.
    std::int64_t generation = 0;
    if (element->Attribute("generation") != nullptr &&
        (!readInt64(*element, "generation", generation) || generation < 0)) {
        load.reason = "its generation is not a number";
        return std::nullopt;
    }
    load.generation = static_cast<std::uint64_t>(generation);
    load.generationSaid = element->Attribute("generation") != nullptr;
    return saved;
}

// Seconds between a save and now; a wall clock set back meanwhile must not make a spot younger.
std::int64_t timeDown(std::int64_t saved, std::int64_t wallNow) {
    if (wallNow <= saved)
        return 0;
    const std::uint64_t span =
        static_cast<std::uint64_t>(wallNow) - static_cast<std::uint64_t>(saved);
    return span > static_cast<std::uint64_t>(kInt64Max) ? kInt64Max
                                                        : static_cast<std::int64_t>(span);
}

// Hands the root's children to the loader in batches, each of which ends between two children,
// and checks what follows the root. False when the document turns out unreadable.
bool readChildren(std::string_view text, const Span& root, Loader& loader, SpotStateLoad& load) {
    std::size_t rootEnd = root.end;
    if (!root.empty) {
        std::size_t batchStart = root.end;
        std::size_t batchLine =
            1 + static_cast<std::size_t>(std::count(text.begin(), text.begin() + root.end, '\n'));
        std::size_t at = root.end;
        int depth = 0;
        for (;;) {
            const Span span = nextMarkup(text, at);
            if (span.kind == Markup::none || span.end == kNowhere) {
                load.reason = std::string("it ends before </") + kRoot + ">";
                return false;
            }
            const bool last = span.kind == Markup::endTag && depth == 0;
            if (span.kind == Markup::element && !span.empty) {
                ++depth;
            } else if (span.kind == Markup::endTag && depth > 0) {
                --depth;
            }
            const std::size_t batchEnd = last ? span.start : span.end;
            if (depth == 0 && (last || batchEnd - batchStart >= kBatchBytes)) {
                const std::string_view batch = text.substr(batchStart, batchEnd - batchStart);
                const std::string wrapped =
                    std::string("<") + kRoot + ">" + std::string(batch) + "</" + kRoot + ">";
                tinyxml2::XMLDocument part;
                if (part.Parse(wrapped.data(), wrapped.size()) != tinyxml2::XML_SUCCESS) {
                    load.reason = notWellFormed(part, batchLine);
                    return false;
                }
                for (const XMLElement* child = part.RootElement()->FirstChildElement();
                     child != nullptr; child = child->NextSiblingElement()) {
                    loader.take(*child);
                }
                batchLine += static_cast<std::size_t>(std::count(batch.begin(), batch.end(), '\n'));
                batchStart = batchEnd;
            }
            at = span.end;
            if (last) {
                // The name after "</" must be the root's.
                if (elementName(text.substr(span.start + 1)) != kRoot) {
                    load.reason = std::string("it does not end with </") + kRoot + ">";
                    return false;
                }
                rootEnd = span.end;
                break;
            }
        }
    }
    // What follows the root may only be comments and the like.
    const std::string tail(text.substr(rootEnd));
    tinyxml2::XMLDocument after;
    if (tail.find('<') != std::string::npos &&
        after.Parse(tail.data(), tail.size()) != tinyxml2::XML_SUCCESS) {
        load.reason = std::string("it is not well-formed XML after </") + kRoot + ">";
        return false;
    }
    return true;
}

} // namespace

SpotStateImage spotStateImage(const SpotTable& table, const PendingDeletes& pending,
                              std::int64_t loopNow, std::int64_t wallNow,
                              std::uint64_t generation) {
    SpotStateImage image;
    std::size_t bytes = 0;
    for (const SpotEntry& entry : table)
        bytes += entry.dxcall.size() + entry.mode.size() + entry.comment.size() +
                 entry.status.size() + entry.marks.size() * 64;
    for (std::size_t link = 0; link < pending.links(); ++link)
        pending.link(link).forEachCall([&bytes](const std::string& call) { bytes += call.size(); });
    image.text.reserve(bytes);
    image.spots.reserve(table.size());
    for (const SpotEntry& entry : table) {
        SavedSpot& spot = image.spots.emplace_back();
        spot.dxcall = keep(image.text, entry.dxcall);
        spot.mode = keep(image.text, entry.mode);
        spot.comment = keep(image.text, entry.comment);
        spot.frequencyHz = entry.frequencyHz;
        spot.colour = entry.colour;
        spot.age = ageOf(entry, loopNow);
        spot.hidden = entry.hidden;
        spot.status = keep(image.text, entry.status);
        if (!entry.marks.empty())
            spot.marks = keep(image.text, marksText(entry.marks));
        spot.n1mmKHz = entry.n1mmKHz;
        spot.kind = entry.kind;
    }
    for (std::size_t link = 0; link < pending.links(); ++link) {
        std::vector<TextSpan>& calls = image.pending[link];
        calls.reserve(pending.link(link).size());
        pending.link(link).forEachCall(
            [&image, &calls](const std::string& call) { calls.push_back(keep(image.text, call)); });
    }
    image.wallNow = wallNow;
    image.generation = generation;
    return image;
}

void writeSpotStateDocument(const SpotStateImage& image, const TextSink& write) {
    std::string piece;
    piece.reserve(kPieceBytes + kSavedSpotLimit);
    const auto handOver = [&piece, &write](bool always) {
        if (always || piece.size() >= kPieceBytes) {
            write(piece);
            piece.clear();
        }
    };
    piece += "<?xml version=\"1.0\" encoding=\"UTF-8\"?>\n<!--";
    piece += kHeaderComment;
    piece += "-->\n<";
    piece += kRoot;
    appendAttribute(piece, "version", kVersion);
    appendAttribute(piece, "saved", std::to_string(image.wallNow));
    appendAttribute(piece, "generation", std::to_string(image.generation));
    piece += ">\n";
    for (const SavedSpot& spot : image.spots) {
        appendSpot(piece, "    ", viewOf(image, spot), nullptr);
        handOver(false);
    }
    for (std::size_t link = 0; link < PendingDeletes::kLinkLimit; ++link) {
        for (const TextSpan call : image.pending[link]) {
            appendMark(piece, "    ", kPendingDelete, image[call], link);
            handOver(false);
        }
    }
    piece += "</";
    piece += kRoot;
    piece += ">\n";
    handOver(true);
}

std::string spotStateDocument(const SpotStateImage& image) {
    std::string text;
    writeSpotStateDocument(image, [&text](std::string_view piece) { text += piece; });
    return text;
}

SpotStateLoad loadSpotState(std::string_view text, SpotTable& table, PendingDeletes& pending,
                            std::int32_t lifeTime, std::int64_t loopNow, std::int64_t wallNow) {
    SpotStateLoad load;
    Span root = nextMarkup(text, 0);
    while (root.kind == Markup::other && root.end != kNowhere) {
        root = nextMarkup(text, root.end);
    }
    const std::optional<std::int64_t> saved = readRoot(text, root, load);
    if (!saved) {
        return load;
    }
    Loader loader(lifeTime, loopNow, timeDown(*saved, wallNow), pending.links());
    if (readChildren(text, root, loader, load)) {
        loader.finish(table, pending, load);
    }
    return load;
}

std::string journalHeader() {
    std::string text = "<";
    text += kJournalRoot;
    appendAttribute(text, "version", kVersion);
    text += "/>\n";
    return text;
}

std::string journalSpotRecord(const SpotEntry& entry, std::int64_t loopNow, std::int64_t wallNow) {
    std::string text;
    appendSpot(text, "",
               SpotView{entry.dxcall, entry.mode, entry.comment, entry.frequencyHz, entry.colour,
                        ageOf(entry, loopNow), entry.hidden, entry.status, marksText(entry.marks),
                        entry.n1mmKHz, entry.kind},
               &wallNow);
    return text;
}

std::string journalRecord(JournalMark mark, std::string_view dxcall, std::size_t link) {
    const char* name = mark == JournalMark::removed   ? kRemoved
                       : mark == JournalMark::pending ? kPendingDelete
                                                      : kSettled;
    std::string text;
    appendMark(text, "", name, dxcall, mark == JournalMark::removed ? 0 : link);
    return text;
}

void writeJournalSnapshot(const SpotStateImage& image,
                          const std::vector<const SpotStateImage*>& before, const TextSink& write) {
    std::unordered_set<std::string_view> now;
    std::unordered_set<std::string_view> nowPending[PendingDeletes::kLinkLimit];
    for (const SavedSpot& spot : image.spots)
        now.insert(image[spot.dxcall]);
    for (std::size_t link = 0; link < PendingDeletes::kLinkLimit; ++link) {
        for (const TextSpan call : image.pending[link]) {
            now.insert(image[call]);
            nowPending[link].insert(image[call]);
        }
    }
    std::string piece;
    piece.reserve(kPieceBytes + kSavedSpotLimit);
    const auto handOver = [&piece, &write](bool always) {
        if ((always && !piece.empty()) || piece.size() >= kPieceBytes) {
            write(piece);
            piece.clear();
        }
    };
    std::unordered_set<std::string_view> gone;
    // A later link's deletion that the image no longer owes is settled for that link alone.
    std::unordered_set<std::string_view> settled[PendingDeletes::kLinkLimit];
    for (const SpotStateImage* earlier : before) {
        const auto takeBack = [&](std::string_view call) {
            if (now.count(call) == 0 && gone.insert(call).second) {
                appendMark(piece, "", kRemoved, call);
                appendMark(piece, "", kSettled, call);
                handOver(false);
            }
        };
        for (const SavedSpot& spot : earlier->spots)
            takeBack((*earlier)[spot.dxcall]);
        for (const TextSpan call : earlier->pending[0])
            takeBack((*earlier)[call]);
        for (std::size_t link = 1; link < PendingDeletes::kLinkLimit; ++link) {
            for (const TextSpan span : earlier->pending[link]) {
                const std::string_view call = (*earlier)[span];
                if (nowPending[link].count(call) == 0 && settled[link].insert(call).second) {
                    appendMark(piece, "", kSettled, call, link);
                    handOver(false);
                }
            }
        }
    }
    for (const SavedSpot& spot : image.spots) {
        appendSpot(piece, "", viewOf(image, spot), &image.wallNow);
        handOver(false);
    }
    for (std::size_t link = 0; link < PendingDeletes::kLinkLimit; ++link) {
        for (const TextSpan call : image.pending[link]) {
            appendMark(piece, "", kPendingDelete, image[call], link);
            handOver(false);
        }
    }
    handOver(true);
}

SpotJournalReader::SpotJournalReader(SpotTable& table, PendingDeletes& pending,
                                     std::int32_t lifeTime, std::int64_t loopNow,
                                     std::int64_t wallNow)
    : table_(table), pending_(pending), lifeTime_(lifeTime), loopNow_(loopNow), wallNow_(wallNow) {}

// The room kept ahead past the last change holds zeros, which no record does. Zeros with
// changes after them are a hole: pages that a power cut or a crash of the system kept from the
// disk, while later ones reached it. The changes after a hole are used; the records that it cut
// are not, since a record is used only whole.
void SpotJournalReader::feed(std::string_view bytes) {
    while (!bytes.empty()) {
        if (zeros_ > 0 || bytes.front() == '\0') {
            const auto data = std::find_if(bytes.begin(), bytes.end(), [](char c) { return c; });
            const auto run = static_cast<std::size_t>(data - bytes.begin());
            zeros_ += run;
            offset_ += run;
            bytes.remove_prefix(run);
            if (bytes.empty())
                return;
            hole();
        }
        const std::string_view data = bytes.substr(0, bytes.find('\0'));
        offset_ += data.size();
        bytes.remove_prefix(data.size());
        take(data);
    }
}

void SpotJournalReader::hole() {
    if (replay_.holes++ == 0) {
        replay_.holeAt = offset_ - zeros_;
        usedBeforeHole_ = replay_.records;
    }
    replay_.holeBytes += zeros_;
    zeros_ = 0;
    if (stopped_)
        return;
    // The record that the zeros began in is cut; so is the header when they began before its end.
    replay_.cutBytes += partial_.size();
    if (lines_ == 0)
        lines_ = 1;
    partial_.clear();
    // What follows begins a record only where it begins with one.
    cutting_ = true;
}

void SpotJournalReader::take(std::string_view bytes) {
    if (stopped_) {
        replay_.unusedBytes += bytes.size();
        return;
    }
    if (cutting_) {
        if (bytes.front() == '<') {
            cutting_ = false;
        } else {
            const std::size_t end = bytes.find('\n');
            const std::size_t cut = end == std::string_view::npos ? bytes.size() : end + 1;
            replay_.cutBytes += cut;
            bytes.remove_prefix(cut);
            cutting_ = end == std::string_view::npos;
        }
    }
    while (!bytes.empty() && !stopped_) {
        const std::size_t end = bytes.find('\n');
        if (end == std::string_view::npos) {
            partial_ += bytes;
            // Longer than any record the bridge writes: whatever it is, it is no record.
            if (partial_.size() > kSavedSpotLimit) {
                ++lines_;
                stop(partial_.size());
                partial_.clear();
            }
            return;
        }
        partial_ += bytes.substr(0, end);
        bytes.remove_prefix(end + 1);
        ++lines_;
        line(partial_);
        partial_.clear();
        if (stopped_)
            replay_.unusedBytes += bytes.size();
    }
}

JournalReplay SpotJournalReader::finish() {
    // A record ends with its line end: one without was being written when the bridge ended.
    if (!stopped_ && !partial_.empty()) {
        replay_.torn = true;
        replay_.unusedBytes += partial_.size();
    }
    partial_.clear();
    if (replay_.holes > 0)
        replay_.usedAfterHole = replay_.records - usedBeforeHole_;
    return replay_;
}

// From the current line on nothing is used: what follows may depend on what was lost.
void SpotJournalReader::stop(std::size_t lineBytes) {
    stopped_ = true;
    replay_.damagedAt = lines_;
    replay_.unusedBytes += lineBytes;
}

void SpotJournalReader::line(std::string_view text) {
    if (text.size() > kSavedSpotLimit) {
        stop(text.size() + 1);
        return;
    }
    tinyxml2::XMLDocument document;
    const XMLElement* element = nullptr;
    if (document.Parse(text.data(), text.size()) == tinyxml2::XML_SUCCESS)
        element = document.RootElement();
    if (lines_ == 1) {
        const char* version = element != nullptr ? element->Attribute("version") : nullptr;
        if (element == nullptr || std::string_view(element->Name()) != kJournalRoot ||
            version == nullptr || std::string_view(version) != kVersion) {
            replay_.foreign = true;
            stopped_ = true;
            replay_.unusedBytes += text.size() + 1;
        }
        return;
    }
    if (element == nullptr || element->NextSiblingElement() != nullptr) {
        stop(text.size() + 1);
        return;
    }
    const std::string_view name = element->Name();
    const bool known =
        name == kSpot || name == kPendingDelete || name == kRemoved || name == kSettled;
    if (!known) {
        stop(text.size() + 1);
        return;
    }
    ++replay_.records;
    // Only a deletion's record may be a later link's.
    const bool deletion = name == kPendingDelete || name == kSettled;
    const std::optional<std::size_t> link = deletion ? recordLink(*element) : 0;
    const char* call = link ? usableCall(*element, *link) : nullptr;
    if (call == nullptr) {
        ++replay_.refused;
        return;
    }
    const std::string dxcall = call;
    const auto deleteNow = [this, &dxcall] {
        table_.remove(dxcall);
        pending_.remember(dxcall);
    };
    if (name == kRemoved) {
        table_.remove(dxcall);
    } else if (name == kPendingDelete) {
        table_.remove(dxcall);
        if (*link < pending_.links())
            pending_.link(*link).remember(dxcall);
    } else if (name == kSettled) {
        if (*link < pending_.links())
            pending_.link(*link).forget(dxcall);
    } else {
        std::int64_t age = 0;
        std::int64_t saved = 0;
        std::optional<SpotEntry> entry = readSpot(*element, call, age);
        if (!entry || !readInt64(*element, "saved", saved)) {
            // The SDR may show it.
            ++replay_.refused;
            deleteNow();
            return;
        }
        age = saturatingSum(age, timeDown(saved, wallNow_));
        if (lifeTime_ < 0 || age > lifeTime_) {
            ++replay_.expired;
            deleteNow();
            return;
        }
        constexpr std::int64_t lowest = std::numeric_limits<std::int64_t>::min();
        entry->received = loopNow_ >= lowest + age ? loopNow_ - age : lowest;
        boundSpotEntry(*entry);
        pending_.forget(dxcall);
        SpotTable::Added added = table_.add(std::move(*entry));
        if (added.evicted) {
            ++replay_.refused;
            pending_.remember(added.evicted->dxcall);
        }
    }
}
