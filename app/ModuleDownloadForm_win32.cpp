// The main window's update module download: the logic lives in
// ModuleDownload_win32.cpp; this binds it to the window and the site addresses.
#include "app/DownloadStirpelloForm_win32.h"
#include "app/ModuleDownload_win32.h"
#include "app/SiteConfig.h"

bool TDownloadStirpelloForm::DownloadUpdateModule(const std::string& programDirectory, std::string& modulePath,
                                                  const std::string& proxyServer, int32_t proxyPort) {
    const TSiteConfig& sites = TSiteConfig::Get();
    TModuleDownloadContext context{Log(), [this](const std::string& text) { ShowMessage(text); },
                                   sites.MirrorUrl(), sites.FallbackUrl(), Handle(), {}, sites.ModuleSha256, {}};
    return ::DownloadUpdateModule(context, programDirectory, modulePath, proxyServer, proxyPort);
}
