// The pure rules behind the main window's status displays: the network status line of the
// status bar and the send, receive and per-connection speeds.
#pragma once
#include <cstddef>
#include <cstdint>

#include "NetStatusRules.h"

// The status bar's network status line and whether it is an error (drawn in red).
const char16_t* statusLineText(const NetStatusInput& status, bool* isError);

// Speed of one direction from the totals seen at the last eight ticks (slot 0 oldest):
// (now - history[0]) / 8, integer division, never negative.
int64_t speedFromHistory(const int64_t* history, size_t count, int64_t now);

// Speed of one connection from its byte counts at the last ticks (slot 0 oldest): the mean
// increase over the steps whose later count is not zero; 0 when there is none.
int64_t connectionSpeed(const int64_t* history, size_t count);
