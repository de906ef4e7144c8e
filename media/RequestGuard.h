#pragma once
// Keeps the pool of request sessions available to everyone: a connection that brings no
// whole request within kRequestLimitMs of its start or of its last answer is ended, and
// while no session is free to accept, the connection that has waited longest with an
// unfinished request (at least kPressureWaitMs) makes room for the next one.
#include <cstdint>

class CCameraRequestSession;

constexpr uint32_t kRequestLimitMs = 10000;
constexpr uint32_t kPressureWaitMs = 250;
// How often the server thread runs GuardRequestSessions.
constexpr uint32_t kRequestGuardPeriodMs = 250;

// The pool to watch (sessions[0, count)); null to stop. Set by the server thread.
void SetRequestPool(CCameraRequestSession* sessions, int count);

// Server thread, every kRequestGuardPeriodMs: the time limit, then the pool pressure.
void GuardRequestSessions();

// From a session whose new connection brought its first bytes (arriving is skipped).
void RelievePoolPressure(CCameraRequestSession* arriving);
