#pragma once
// The "downloader_crash" event of a crashed run, sent by the helper run that
// delivers its crash record: the crashed run publishes how its analytics
// layer was set up, the helper sets its own up the same way.

#include <map>
#include <string>
#include <vector>

#include "app/crash_handler.h"
#include "telemetry/installer_analytics.h"

namespace oru {

// The values the helper needs: the collectors and the super properties.
std::map<std::string, std::string> CrashAnalyticsState(const AnalyticsContext& context,
                                                       const std::vector<std::string>& collectors);

// Publishes CrashAnalyticsState for the crash record (after InitAnalytics).
void PublishAnalyticsForCrash(const AnalyticsContext& context, const std::vector<std::string>& collectors);

// Sends the crash event with the crashed run's setup and waits for it (the
// client's own bounds); nothing when that run never set analytics up.
// Unsent, the event stays in the staging file for the next run.
void SendCrashAnalyticsEvent(const PendingCrash& crash);

}  // namespace oru
