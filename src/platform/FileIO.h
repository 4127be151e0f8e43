#pragma once

#include <cstddef>

// Writes all n bytes, going on after short writes and interrupted calls.
// Returns false with errno set on the first real failure (a write that
// makes no progress counts as one, with EIO).
bool writeAll(int fd, const void *data, size_t n);

// Reads until n bytes have arrived or the file ends; returns the count read,
// or -1 with errno set on a real failure.
long long readFull(int fd, void *data, size_t n);

// The process's file-creation mask, read without changing it: umask() can
// only be read by setting it, which would race with other threads creating
// files; the kernel reports it in /proc/self/status instead. 022 when that
// cannot be read.
unsigned currentUmask();
