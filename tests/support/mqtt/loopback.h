#ifndef LOOPBACK_H
#define LOOPBACK_H

// A TCP port on 127.0.0.1 that was free a moment ago (0 when none was): a
// program started with it may still find it taken, and should then get another.
int freeLoopbackPort();

#endif // LOOPBACK_H
