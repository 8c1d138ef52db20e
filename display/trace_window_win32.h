// The trace window and the start of a trace on Windows.
#pragma once

// winsock2.h must come before windows.h, and shellapi.h after it.
// clang-format off
#include <winsock2.h>
#include <windows.h>
// clang-format on

#include "core/trace_table.h"

// The dialog procedure of every trace window (template IDD_TRACE).
INT_PTR CALLBACK traceWindowProc(HWND window, UINT message, WPARAM wParam, LPARAM lParam);

// Starts the worker thread of a slot whose window is up; false when no thread could be had.
// A variable, so that tests can run trace windows without touching the network.
using WorkerThreadStarter = bool (*)(TraceSlot& slot);
extern WorkerThreadStarter startWorkerThread;
bool startTraceWorkerThread(TraceSlot& slot);
