#pragma once
// TSoftwareUpdateList: the update catalogue as a list of TSoftwareUpdate
// records, newest first, and the rules that keep the updates that apply to
// the installed version.
//
// The catalogue file is one zlib stream holding a typed value stream: an
// integer (ignored), the catalogue format version, HeaderText, a count and
// that many class lines, a count and that many records, each record after the
// marker "<SU>" as a short string.
#include <cstdint>
#include <memory>
#include <string>
#include <vector>

#include "catalogue/SoftwareUpdate.h"
#include "catalogue/TextArena.h"

class TSoftwareUpdateList {
public:
    TSoftwareUpdateList() = default;
    ~TSoftwareUpdateList();
    TSoftwareUpdateList(const TSoftwareUpdateList&) = delete;
    TSoftwareUpdateList& operator=(const TSoftwareUpdateList&) = delete;

    // The class lines of the catalogue header in file order. A line's first
    // character is its class letter; it covers version v when it contains
    // "/v/".
    std::vector<std::string> ClassLines;
    // The version last passed to SelectFor; 0 until then.
    int32_t InstalledVersion = 0;
    // Stored only.
    std::string HeaderText;

    // Loads the catalogue file (its bytes as downloaded) and sorts the list.
    // Records already in the list stay; ClassLines is replaced. A record that
    // cannot be read is dropped without a word. Throws:
    // - EDecompressionError "Error": not a zlib stream, or damaged;
    // - EDecompressionError naming the limit: it inflates to more than 64 MiB;
    // - EError "You need a newer version of Stirpello for this function
    //   (TSUn": catalogue format above 199;
    // - EReadError "Invalid property value": a header value of the wrong type;
    // - EReadError "Stream read error": the data ends in the header or while
    //   looking for a record's marker;
    // - EDecompressionError "Invalid stream operation": data follows the last
    //   record within its 1024-byte block;
    // - EError "Not enough memory to read the update catalogue".
    // After a failure the records added so far stay, unsorted.
    void LoadFromString(const std::string& data);

    // Keeps the updates for installed version v: first the class filter
    // (every letter of the class lines that cover v must be in a record's
    // ClassLetters), then the version filter (newer than v, FromVersions blank
    // or naming v, and each kept record of a higher KindRank than those kept
    // before it). Sets InstalledVersion.
    void SelectFor(int32_t v);

    // The largest Version in the list, at least 0.
    int32_t LatestVersion() const;
    // Whether the first record is a major update; false for an empty list.
    bool NewestIsMajor() const;

    // The list's order: negative when a goes before b (greater Version, then
    // greater OrderKey by unsigned bytes), 0 when both keys are equal.
    static int CompareUpdates(const TSoftwareUpdate& a, const TSoftwareUpdate& b);

    // The list owns its records. A loaded record keeps its texts in the
    // list: copy it to keep it beyond the list.
    void Add(std::unique_ptr<TSoftwareUpdate> update) {
        untouched_ = false;
        Items_.push_back(TItem(update.release()));
    }
    int Count() const { return static_cast<int>(Items_.size()); }
    TSoftwareUpdate& Items(int index) {
        untouched_ = false;
        return *Items_.at(static_cast<size_t>(index));
    }
    const TSoftwareUpdate& Items(int index) const { return *Items_.at(static_cast<size_t>(index)); }
    TSoftwareUpdate& operator[](int index) { return Items(index); }
    const TSoftwareUpdate& operator[](int index) const { return Items(index); }
    void Delete(int index);
    void Clear();
    // Sorts with CompareUpdates; records equal in both keys keep their order.
    void Sort();

private:
    // Loaded records live in blocks that the list owns, so that a large
    // catalogue costs a few allocations rather than one per record. Removing
    // a pooled record destroys it; its block goes with the list.
    struct TRelease {
        bool pooled = false;
        void operator()(TSoftwareUpdate* u) const {
            if (pooled)
                u->~TSoftwareUpdate();
            else
                delete u;
        }
    };
    using TItem = std::unique_ptr<TSoftwareUpdate, TRelease>;
    TSoftwareUpdate* NewPooled(size_t expected);
    void Load(const std::string& data);
    // Drops items [from, end). While untouched_, pooled records hold no
    // texts of their own and are dropped without running their destructors:
    // for a large catalogue that pass over every record is most of the cost
    // of releasing it.
    void DropFrom(size_t from);

    // No record was handed out for change and none added since loading.
    bool untouched_ = true;
    // While untouched_: the list is known to be sorted.
    bool sorted_ = true;

    std::vector<std::unique_ptr<unsigned char[]>> blocks_;  // outlives Items_
    TTextArena texts_;  // the loaded records' texts; outlives Items_
    size_t blockUsed_ = 0;
    size_t blockCapacity_ = 0;
    std::vector<TItem> Items_;
};
