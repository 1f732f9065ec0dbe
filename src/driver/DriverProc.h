#pragma once
#include <windows.h>
#include <mmsystem.h>

extern "C" LRESULT WINAPI DriverProc(DWORD_PTR dwDriverId, HDRVR hDriver, UINT uMsg, LPARAM lParam1,
                                     LPARAM lParam2);
