// The errno that best tells a Win32 error's meaning, so that callers can
// report it with strerror like any other runtime failure.
#ifndef VELCOT_WIN32_ERROR_H
#define VELCOT_WIN32_ERROR_H

#ifdef _WIN32
#include <windows.h>

#include <cerrno>

inline int ErrnoFromWin32Error(DWORD error) {
  switch (error) {
    case ERROR_FILE_NOT_FOUND:
    case ERROR_PATH_NOT_FOUND:
      return ENOENT;
    case ERROR_ACCESS_DENIED:
    case ERROR_SHARING_VIOLATION:
    case ERROR_LOCK_VIOLATION:
      return EACCES;
    case ERROR_INVALID_HANDLE:
      return EBADF;
    case ERROR_NOT_ENOUGH_MEMORY:
    case ERROR_OUTOFMEMORY:
      return ENOMEM;
    case ERROR_DISK_FULL:
    case ERROR_HANDLE_DISK_FULL:
      return ENOSPC;
    case ERROR_BAD_UNIT:
    case ERROR_BAD_COMMAND:
    case ERROR_DEV_NOT_EXIST:
    case ERROR_DEVICE_NOT_CONNECTED:
    case ERROR_DEVICE_REMOVED:
    case ERROR_NOT_READY:
      return ENODEV;
    case ERROR_OPERATION_ABORTED:
      return EINTR;
    case ERROR_INVALID_PARAMETER:
      return EINVAL;
    case ERROR_FILENAME_EXCED_RANGE:  // a path beyond MAX_PATH
      return ENAMETOOLONG;
    default:
      return EIO;
  }
}
#endif

#endif
