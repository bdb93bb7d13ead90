#pragma once

// Winds down Qt's shared worker threads (the raster engine fills large
// spans on them) while the program is still whole. Qt joins them only in
// its static destructors, and `QThread::wait` returns before a pooled
// thread has dropped its own last reference to its thread data; a process
// that ends in that gap loses the data, and a leak checker reports it.
// Call once before the QApplication goes; it waits at most about a second.
void SettleQtThreadPool();

// How many of Qt's pooled threads the system lists for this process now.
int PooledQtThreadCount();
