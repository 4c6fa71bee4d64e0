// Every socket error the server can name: its Windows Sockets code, its text,
// and the POSIX errno values that stand for it (none where POSIX has none).
// One table for both directions: error_text.cpp takes the texts from it, the
// POSIX socket files the translation of errno into the codes. The errno names
// are only ever expanded on POSIX systems.
//
// Use: NET_ERROR_TABLE(ENTRY) with ENTRY(code, text, errno...). Sorted by code.
#pragma once

#define NET_ERROR_TABLE(ENTRY)                                      \
    ENTRY(0, "No error", 0)                                         \
    ENTRY(10004, "Interrupted system call", EINTR)                  \
    ENTRY(10009, "Bad file number", EBADF)                          \
    ENTRY(10013, "Permission denied", EACCES, EPERM)                \
    ENTRY(10014, "Bad address", EFAULT)                             \
    ENTRY(10022, "Invalid argument", EINVAL)                        \
    ENTRY(10024, "Too many open sockets", EMFILE, ENFILE)           \
    ENTRY(10035, "Operation would block", EAGAIN, EWOULDBLOCK)      \
    ENTRY(10036, "Operation now in progress", EINPROGRESS)          \
    ENTRY(10037, "Operation already in progress", EALREADY)         \
    ENTRY(10038, "Socket operation on non-socket", ENOTSOCK)        \
    ENTRY(10039, "Destination address required", EDESTADDRREQ)      \
    ENTRY(10040, "Message too long", EMSGSIZE)                      \
    ENTRY(10041, "Protocol wrong type for socket", EPROTOTYPE)      \
    ENTRY(10042, "Bad protocol option", ENOPROTOOPT)                \
    ENTRY(10043, "Protocol not supported", EPROTONOSUPPORT)         \
    ENTRY(10044, "Socket type not supported", ESOCKTNOSUPPORT)      \
    ENTRY(10045, "Operation not supported on socket", EOPNOTSUPP)   \
    ENTRY(10046, "Protocol family not supported", EPFNOSUPPORT)     \
    ENTRY(10047, "Address family not supported", EAFNOSUPPORT)      \
    ENTRY(10048, "Address already in use", EADDRINUSE)              \
    ENTRY(10049, "Can't assign requested address", EADDRNOTAVAIL)   \
    ENTRY(10050, "Network is down", ENETDOWN)                       \
    ENTRY(10051, "Network is unreachable", ENETUNREACH)             \
    ENTRY(10052, "Net connection reset", ENETRESET)                 \
    ENTRY(10053, "Software caused connection abort", ECONNABORTED)  \
    /* EPIPE: a send to a peer that reset the connection */         \
    ENTRY(10054, "Connection reset by peer", ECONNRESET, EPIPE)     \
    ENTRY(10055, "No buffer space available", ENOBUFS, ENOMEM)      \
    ENTRY(10056, "Socket is already connected", EISCONN)            \
    ENTRY(10057, "Socket is not connected", ENOTCONN)               \
    ENTRY(10058, "Can't send after socket shutdown", ESHUTDOWN)     \
    ENTRY(10059, "Too many references, can't splice", ETOOMANYREFS) \
    ENTRY(10060, "Connection timed out", ETIMEDOUT)                 \
    ENTRY(10061, "Connection refused", ECONNREFUSED)                \
    ENTRY(10062, "Too many levels of symbolic links", ELOOP)        \
    ENTRY(10063, "File name too long", ENAMETOOLONG)                \
    ENTRY(10064, "Host is down", EHOSTDOWN)                         \
    ENTRY(10065, "No route to host", EHOSTUNREACH)                  \
    ENTRY(10066, "Directory not empty", ENOTEMPTY)                  \
    ENTRY(10067, "Too many processes")                              \
    ENTRY(10068, "Too many users", EUSERS)                          \
    ENTRY(10069, "Disc quota exceeded", EDQUOT)                     \
    ENTRY(10070, "Stale NFS file handle", ESTALE)                   \
    ENTRY(10071, "Too many levels of remote in path", EREMOTE)      \
    ENTRY(10091, "Network system is unavailable")                   \
    ENTRY(10092, "Winsock version out of range")                    \
    ENTRY(10093, "WSAStartup not yet called")                       \
    ENTRY(10101, "Graceful shutdown in progress")                   \
    ENTRY(11001, "Host not found")                                  \
    ENTRY(11004, "No host data of that type was found")
