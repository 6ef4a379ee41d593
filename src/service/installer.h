// Installing and removing the bridge's own service, and its event-log source.
#pragma once

// Each writes its own outcome lines to standard output.
void InstallService();
void RemoveService();

// The event-log source "Tarnwick" in the Application log; false when it could not be registered.
bool registerEventSource();
void removeEventSource();
