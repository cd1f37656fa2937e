// The share program's one network status as far as the server needs it: whether a request
// from the connectivity test has reached us. The shell registers a refresh callback that
// updates its displays when the flag changes.
#pragma once

bool getTestSucceeded();
// Sets the flag under the status lock, then runs the refresh callback (if any).
void setTestSucceeded(bool succeeded);
// The callback runs on whichever thread calls setTestSucceeded: it must only post.
void setTestStatusRefresh(void (*refresh)());

// Set when the last listener could not bind because its port is taken.
bool getPortInUse();
void setPortInUse(bool inUse);
