#include "app/RunServices.h"

#include "catalogue/SoftwareUpdateList.h"

namespace {

class TCatalogueList : public IUpdateList {
public:
    void LoadFromString(const std::string& data) override { list_.LoadFromString(data); }
    void SelectFor(int32_t installedVersion) override { list_.SelectFor(installedVersion); }
    int32_t LatestVersion() const override { return list_.LatestVersion(); }
    bool NewestIsMajor() const override { return list_.NewestIsMajor(); }

private:
    TSoftwareUpdateList list_;
};

}  // namespace

std::unique_ptr<IUpdateList> NewCatalogueList() { return std::make_unique<TCatalogueList>(); }
