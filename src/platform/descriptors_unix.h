#pragma once

// A descriptor handed from one process to another over a Unix socket. System calls only, no
// allocation: the sender is a child of a process with threads.
namespace platform::isolation {

// Sends fd, with one byte, over socket: true once it went.
bool sendDescriptor(int socket, int fd);
// The descriptor sent over socket (close-on-exec), or -1.
int receiveDescriptor(int socket);
// Closes fd if open, and marks it closed.
void closeIfOpen(int& fd);

} // namespace platform::isolation
