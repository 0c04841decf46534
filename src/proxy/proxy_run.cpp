#include "proxy/proxy_run.h"

#include <utility>

#include "proxy/proxy_text.h"

namespace quillon {

ProxyRun::ProxyRun(const ProxyConfig& runConfig, const ProxyTimeouts& runTimeouts,
                   const ProxyLimits& runLimits, UpstreamResolver runResolver,
                   std::shared_ptr<ProxyCore> runCore)
    : config(runConfig),
      timeouts(runTimeouts),
      limits(runLimits),
      resolver(std::move(runResolver)),
      core(std::move(runCore)),
      authorizationLine(basicAuthorizationLine(config.username, config.password)),
      spares(config, timeouts, limits, resolver) {}

void ProxyRun::sessionBegan() {
  std::lock_guard<std::mutex> lock(sessionThreadsMutex);
  ++sessions;
}

void ProxyRun::sessionEnded() {
  {
    std::lock_guard<std::mutex> lock(sessionThreadsMutex);
    --sessions;
  }
  sessionsChanged.notify_all();
}

int ProxyRun::sessionCount() {
  std::lock_guard<std::mutex> lock(sessionThreadsMutex);
  return sessions;
}

bool ProxyRun::waitForSessions(std::chrono::milliseconds timeout) {
  std::unique_lock<std::mutex> lock(sessionThreadsMutex);
  return sessionsChanged.wait_for(lock, timeout, [this] { return sessions == 0; });
}

}  // namespace quillon
