#pragma once

// Every long wait of the engine, defined once. Tests shrink them all with one scale factor
// (setScale, or FERRYDESK_TIME_SCALE in the environment) so that "five quick retries, then a
// long retry" runs in seconds; the program itself always runs at scale 1.
namespace DTimings {

constexpr int RetryPeriodMs = 10000;      // quick retry of a failed command
constexpr int QuickRetryLimit = 5;        // quick retries before the long retry
constexpr int LongRetryMs = 600000;       // the long retry, ten minutes later
constexpr int MaxClientsWaitMs = 10000;   // upload waiting for a free FTP login slot
constexpr int SampleTickMs = 500;         // transfer speed sampling period
constexpr int PowerOffCountdownSec = 600; // countdown before the computer powers off

// Milliseconds to wait for a named period, after the test scale.
int scaled(int ms);
void setScale(double factor);
double scale();

} // namespace DTimings
