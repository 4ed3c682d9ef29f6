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
constexpr size_t kMaxBlockRecords = 1 << 16;
constexpr size_t kMaxReserved = 1 << 18;

bool HasVisibleChar(std::string_view s) {
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

TSoftwareUpdate* TSoftwareUpdateList::NewPooled(size_t expected) {
    if (blocks_.empty() || blockUsed_ == blockCapacity_) {
        // Sized for the records still announced: under Wine a few large
        // blocks cost far less than many small ones. A forged count is
        // bounded by the largest block.
        blockCapacity_ = std::min(std::max(expected, kBlockRecords), kMaxBlockRecords);
        blocks_.emplace_back(new unsigned char[blockCapacity_ * sizeof(TSoftwareUpdate)]);
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
    TInflateStream source(data);
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
    // Room for the records up front, so the list is not grown and copied as
    // they arrive; a forged count reserves no more than a bounded amount.
    if (records > 0) Items_.reserve(Items_.size() + std::min<size_t>(static_cast<size_t>(records), kMaxReserved));
    std::string text;
    TItem spare;  // a record that failed to read, reused for the next
    // Whether the list, appended records included, is known to be in order.
    bool inOrder = untouched_ && sorted_;
    sorted_ = false;  // until this load completes
    for (int32_t i = 0; i < records; ++i) {
        // Every record starts at its own marker, so whatever a broken or
        // newer record leaves behind is passed over here.
        for (;;) {
            if (reader.NextTag() != vaString) {
                reader.SkipValue();  // long, wide and UTF-8 strings included
                continue;
            }
            const char* p;
            size_t n;
            if (reader.ReadBufferedString(p, n)) {
                if (std::string_view(p, n) == "<SU>") break;
            } else {
                reader.ReadString(text);
                if (text == "<SU>") break;
            }
        }
        TItem update = spare ? std::move(spare) : TItem(NewPooled(static_cast<size_t>(records - i)), TRelease{true});
        try {
            update->LoadFromReader(reader, texts_);
        } catch (const std::exception&) {
            // A record that cannot be read is dropped silently.
            *update = TSoftwareUpdate();
            spare = std::move(update);
            continue;
        }
        if (inOrder && !Items_.empty() && GoesBefore(update, Items_.back())) inOrder = false;
        Items_.push_back(std::move(update));
    }
    // Data after the last record, once read ahead, cannot be handed back.
    reader.Close();
    source.Finish();
    if (!inOrder) Sort();
    sorted_ = true;
}

TSoftwareUpdateList::~TSoftwareUpdateList() { DropFrom(0); }

void TSoftwareUpdateList::DropFrom(size_t from) {
    if (untouched_) {
        for (size_t i = from; i < Items_.size(); ++i) {
            if (Items_[i].get_deleter().pooled) Items_[i].release();
        }
    }
    Items_.erase(Items_.begin() + static_cast<std::ptrdiff_t>(from), Items_.end());
}

void TSoftwareUpdateList::Delete(int index) {
    TItem& item = Items_.at(static_cast<size_t>(index));
    if (untouched_ && item.get_deleter().pooled) item.release();
    Items_.erase(Items_.begin() + index);
}

void TSoftwareUpdateList::Clear() { DropFrom(0); }

void TSoftwareUpdateList::SelectFor(int32_t v) {
    InstalledVersion = v;

    const std::string needle = "/" + std::to_string(v) + "/";
    std::string letters;
    for (const std::string& line : ClassLines) {
        if (line.find(needle) != std::string::npos) letters += line[0];
    }
    auto classOut = [&](const TSoftwareUpdate& u) {
        for (char c : letters) {
            if (u.ClassLetters().find(c) == std::string_view::npos) return true;
        }
        return false;
    };
    // The class filter keeps the order, so on a sorted list (the usual case)
    // both filters run in one pass; otherwise the class filter runs first and
    // the list is sorted between them.
    const bool sorted = (untouched_ && sorted_) || std::is_sorted(Items_.begin(), Items_.end(), GoesBefore<TItem>);
    if (!sorted) {
        size_t keep = 0;
        for (size_t i = 0; i < Items_.size(); ++i) {
            if (!classOut(*Items_[i])) std::swap(Items_[keep++], Items_[i]);
        }
        DropFrom(keep);
        Sort();
    }

    const std::string installed = std::to_string(v);
    int best = 0;
    size_t keep = 0;
    for (size_t i = 0; i < Items_.size(); ++i) {
        const TSoftwareUpdate& u = *Items_[i];
        // The tests are independent filters, so the cheap ones go first.
        if (u.Version() <= v) continue;
        int rank = u.KindRank();
        if (rank <= best) continue;
        if (sorted && classOut(u)) continue;
        // FromVersions is a plain substring test: 12 is found in "112".
        if (HasVisibleChar(u.FromVersions()) && u.FromVersions().find(installed) == std::string_view::npos)
            continue;
        best = rank;
        if (keep != i) std::swap(Items_[keep], Items_[i]);
        ++keep;
        if (best == 4) break;  // no rank is above R's: nothing further stays
    }
    DropFrom(keep);
}

int32_t TSoftwareUpdateList::LatestVersion() const {
    int32_t latest = 0;
    for (const auto& u : Items_) latest = std::max(latest, u->Version());
    return latest;
}

bool TSoftwareUpdateList::NewestIsMajor() const { return !Items_.empty() && Items_.front()->IsMajor(); }
