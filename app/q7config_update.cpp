// Q7Config: starting the firmware update with a chosen configuration file.
#include "app/q7config.h"

void Q7Config::StartUpdateWith(const QString&) {}
