// Resource numbers of fwupdate.exe (fwupdate.rc).
#pragma once

#define IDI_FWUPDATE 1
