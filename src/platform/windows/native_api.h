// The ntdll call behind every read, which the MinGW headers do not declare.
// The import library (libntdll.a) does provide it.
#pragma once

#include <windows.h>
#include <winternl.h>

extern "C" NTSTATUS NTAPI NtReadFile(HANDLE file, HANDLE event, PIO_APC_ROUTINE apc_routine,
                                     PVOID apc_context, PIO_STATUS_BLOCK io_status, PVOID buffer,
                                     ULONG length, PLARGE_INTEGER byte_offset, PULONG key);
