// When the agent talks to the server next: polls every few seconds with
// jitter (so that computers started together spread out), and after failures
// a capped exponential back-off with jitter (so that a server coming back is
// not met by every agent at once). Pure functions; `unit_random` is a
// uniformly distributed number in [0, 1).
#pragma once

namespace halvenor::agent {

struct PollTiming {
  double poll_seconds = 5.0;
  double jitter = 0.2;  // a poll comes poll_seconds * (1 +/- jitter) after the last
  double backoff_first_seconds = 1.0;
  double backoff_cap_seconds = 60.0;
};

double poll_delay(const PollTiming& timing, double unit_random);
// The wait after `failures` (>= 1) consecutive failures: the exponential step
// min(cap, first * 2^(failures-1)), drawn from its upper half.
double backoff_delay(const PollTiming& timing, int failures, double unit_random);

}  // namespace halvenor::agent
