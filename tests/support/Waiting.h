#pragma once
// Bounded waiting for the tests: a condition polled until it holds or time runs out, and the
// time a step took.
#include <chrono>
#include <functional>

// Calls `cond` on the caller's thread, then every `stepMs` until it returns true or
// `timeoutMs` have passed; true when it held. It is called once more after the deadline, so a
// condition that came true during the last pause still counts. A condition that starts a
// process or a request each time wants a longer step.
bool waitFor(const std::function<bool()>& cond, int timeoutMs, int stepMs = 5);

// Milliseconds (with their fraction) on the steady clock since t0.
double msSince(std::chrono::steady_clock::time_point t0);
