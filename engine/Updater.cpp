#include "engine/Updater.h"

#include <stdexcept>

#include "device_api/Module.h"

Updater::Updater(const char* serverUrl, const char* storeDir, UpdaterDisplayInterface& display)
    : serverUrl(serverUrl), storeDir(storeDir), display(display), recoveryChip(0), ueiBytesLoad(false)
{
}

std::unique_ptr<UpdaterStore> _createUpdaterStore(UpdaterDisplayInterface& display, const std::string& dir,
                                                  const char* caller)
{
    try {
        return std::make_unique<UpdaterStore>(dir.c_str());
    } catch (const std::runtime_error& e) {
        display.message(UpdaterDisplayInterface::ERROR, "Failed to Create UpdaterStore in: %s - Exception: %s",
                        caller, e.what());
        return nullptr;
    }
}

aErr _disableVorne(Zentrova::Tessaline::Module& module, UpdaterDisplayInterface& display)
{
    aVorneConfig config;
    config.enabled = 0;
    config.fallback = 0;
    config.localOnly = 1;
    aErr result = module.setConfig(config);
    if (result != aErrNone)
        display.message(UpdaterDisplayInterface::ERROR, "Failed to SET network configuration");
    return result;
}
