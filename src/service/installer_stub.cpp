// Placeholder until the service host lands.
#include "service/installer.h"

void InstallService() {}
void RemoveService() {}
bool registerEventSource() { return true; }
void removeEventSource() {}
