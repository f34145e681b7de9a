#pragma once

// The self-update check: asks the service for the newest version and hands over to the
// updater when a verified newer program file was downloaded. Runs one check at a time.
namespace DUpdateCheck {

void run();

} // namespace DUpdateCheck
