// winternl.h as the Windows SDK has it, for the SDK header check: only what
// learn.microsoft.com's winternl.h page and its structures' pages say the
// header declares that a file system source could use. mingw-w64's
// winternl.h declares far more (every FILE_INFORMATION_CLASS value, the
// FILE_*_INFORMATION structures, NtQueryInformationFile and
// NtSetInformationFile); a source that used any of it would compile here
// and not with MSVC. Everything else comes from windows.h, as with the SDK.

#ifndef _WINTERNL_
#define _WINTERNL_

#include <windows.h>

#ifdef __cplusplus
extern "C" {
#endif

typedef LONG NTSTATUS;

typedef struct _UNICODE_STRING {
  USHORT Length;
  USHORT MaximumLength;
  PWSTR Buffer;
} UNICODE_STRING, *PUNICODE_STRING;
typedef const UNICODE_STRING* PCUNICODE_STRING;

typedef struct _OBJECT_ATTRIBUTES {
  ULONG Length;
  HANDLE RootDirectory;
  PUNICODE_STRING ObjectName;
  ULONG Attributes;
  PVOID SecurityDescriptor;
  PVOID SecurityQualityOfService;
} OBJECT_ATTRIBUTES, *POBJECT_ATTRIBUTES;

typedef struct _IO_STATUS_BLOCK {
  union {
    NTSTATUS Status;
    PVOID Pointer;
  };
  ULONG_PTR Information;
} IO_STATUS_BLOCK, *PIO_STATUS_BLOCK;

// The one value the SDK's enumeration has.
typedef enum _FILE_INFORMATION_CLASS { FileDirectoryInformation = 1 } FILE_INFORMATION_CLASS;

// NtCreateFile's options and dispositions, and the object attributes, as
// macros: a constant of the same name elsewhere would collide with them.
#define FILE_DIRECTORY_FILE 0x00000001
#define FILE_SYNCHRONOUS_IO_NONALERT 0x00000020
#define FILE_NON_DIRECTORY_FILE 0x00000040
#define FILE_COMPLETE_IF_OPLOCKED 0x00000100
#define FILE_OPEN_REPARSE_POINT 0x00200000
#define FILE_OPEN 0x00000001
#define FILE_CREATE 0x00000002
#define FILE_OPEN_IF 0x00000003
#define OBJ_CASE_INSENSITIVE 0x00000040L

NTSTATUS NTAPI NtCreateFile(PHANDLE FileHandle, ACCESS_MASK DesiredAccess,
                            POBJECT_ATTRIBUTES ObjectAttributes, PIO_STATUS_BLOCK IoStatusBlock,
                            PLARGE_INTEGER AllocationSize, ULONG FileAttributes, ULONG ShareAccess,
                            ULONG CreateDisposition, ULONG CreateOptions, PVOID EaBuffer,
                            ULONG EaLength);
ULONG NTAPI RtlNtStatusToDosError(NTSTATUS Status);

#ifdef __cplusplus
}
#endif

#endif  // _WINTERNL_
