#include "catalogue/SoftwareUpdateList.h"

#include <algorithm>
#include <new>

#include "catalogue/Inflate.h"
#include "catalogue/Reader.h"
#include "fileutil/Errors.h"

namespace {

template <class P>
bool GoesBefore(const P& a, const P& b) {
    if (a->Version() != b->Version()) return a->Version() > b->Version();
    return a->OrderKey().compare(b->OrderKey()) > 0;
}

constexpr size_t kBlockRecords = 256;

bool HasVisibleChar(const std::string& s) {
    for (unsigned char c : s) {
        if (c > ' ') return true;
    }
    return false;
}

}  // namespace

int TSoftwareUpdateList::CompareUpdates(const TSoftwareUpdate& a, const TSoftwareUpdate& b) {
    if (a.Version() != b.Version()) return a.Version() > b.Version() ? -1 : 1;
    // std::string compares chars as unsigned bytes, a prefix before the
    // longer string.
    int c = a.OrderKey().compare(b.OrderKey());
    return c > 0 ? -1 : c < 0 ? 1 : 0;
}

void TSoftwareUpdateList::Sort() {
    // A published catalogue usually comes sorted already.
    if (!std::is_sorted(Items_.begin(), Items_.end(), GoesBefore<TItem>))
        std::stable_sort(Items_.begin(), Items_.end(), GoesBefore<TItem>);
}

TSoftwareUpdate* TSoftwareUpdateList::NewPooled() {
    if (blocks_.empty() || blockUsed_ == kBlockRecords) {
        blocks_.emplace_back(new unsigned char[kBlockRecords * sizeof(TSoftwareUpdate)]);
        blockUsed_ = 0;
    }
    void* slot = blocks_.back().get() + blockUsed_++ * sizeof(TSoftwareUpdate);
    return new (slot) TSoftwareUpdate();
}

void TSoftwareUpdateList::LoadFromString(const std::string& data) {
    try {
        Load(data);
    } catch (const std::bad_alloc&) {
        // Within the size cap a catalogue of tiny values can still grow many
        // times in memory; a 32-bit process must report that, not end.
        throw EError("Not enough memory to read the update catalogue");
    }
}

void TSoftwareUpdateList::Load(const std::string& data) {
    TInflatedStream source = Inflate(data);
    TReader reader(source);
    reader.ReadInteger();
    int32_t format = reader.ReadInteger();
    if (format > 199) {
        throw EError("You need a newer version of Stirpello for this function (TSU" + std::to_string(format));
    }
    reader.ReadString(HeaderText);
    int32_t lines = reader.ReadInteger();
    ClassLines.clear();
    for (int32_t i = 0; i < lines; ++i) ClassLines.push_back(reader.ReadString());
    int32_t records = reader.ReadInteger();
    std::string text;
    TItem spare;  // a record that failed to read, reused for the next
    for (int32_t i = 0; i < records; ++i) {
        // Every record starts at its own marker, so whatever a broken or
        // newer record leaves behind is passed over here.
        text.clear();
        while (text != "<SU>") {
            if (reader.NextTag() == vaString)
                reader.ReadString(text);
            else
                reader.SkipValue();
        }
        TItem update = spare ? std::move(spare) : TItem(NewPooled(), TRelease{true});
        try {
            update->LoadFromReader(reader);
        } catch (const std::exception&) {
            // A record that cannot be read is dropped silently.
            *update = TSoftwareUpdate();
            spare = std::move(update);
            continue;
        }
        Items_.push_back(std::move(update));
    }
    // Data after the last record, once read ahead, cannot be handed back.
    reader.Close();
    Sort();
}

void TSoftwareUpdateList::SelectFor(int32_t v) {
    InstalledVersion = v;

    const std::string needle = "/" + std::to_string(v) + "/";
    std::string letters;
    for (const std::string& line : ClassLines) {
        if (line.find(needle) != std::string::npos) letters += line[0];
    }
    if (!letters.empty()) {
        Items_.erase(std::remove_if(Items_.begin(), Items_.end(),
                                    [&](const TItem& u) {
                                        for (char c : letters) {
                                            if (u->ClassLetters().find(c) == std::string::npos) return true;
                                        }
                                        return false;
                                    }),
                     Items_.end());
    }

    Sort();
    const std::string installed = std::to_string(v);
    int best = 0;
    std::vector<TItem> kept;
    for (auto& u : Items_) {
        // FromVersions is a plain substring test: 12 is found in "112".
        if (HasVisibleChar(u->FromVersions()) && u->FromVersions().find(installed) == std::string::npos)
            continue;
        if (u->Version() <= v) continue;
        int rank = u->KindRank();
        if (rank <= best) continue;
        best = rank;
        kept.push_back(std::move(u));
    }
    Items_.swap(kept);
}

int32_t TSoftwareUpdateList::LatestVersion() const {
    int32_t latest = 0;
    for (const auto& u : Items_) latest = std::max(latest, u->Version());
    return latest;
}

bool TSoftwareUpdateList::NewestIsMajor() const { return !Items_.empty() && Items_.front()->IsMajor(); }
