// The system's socket headers on POSIX systems. The build puts this folder on
// the include path of the socket files, so socket_common.cpp gets the headers
// of the platform it is built for without asking which one that is.
#pragma once

#include <arpa/inet.h>
#include <netdb.h>
#include <netinet/in.h>
#include <sys/socket.h>
