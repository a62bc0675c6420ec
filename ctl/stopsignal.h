#ifndef STOPSIGNAL_H
#define STOPSIGNAL_H

// SIGINT (Ctrl-C) and SIGTERM, turned into a request to stop that a loop
// looks at between two steps. The handler only sets a flag and writes a byte
// into a pipe, so that a wait between two readings ends at once. While an
// object lives, the two signals no longer end the program; the previous
// handlers come back when it is destroyed. One at a time.
class StopSignal
{
public:
    StopSignal();
    ~StopSignal();
    StopSignal(const StopSignal &) = delete;
    StopSignal &operator=(const StopSignal &) = delete;

    bool requested() const;
    // Waits up to `ms` milliseconds; true as soon as a stop is requested.
    bool wait(int ms) const;
};

#endif // STOPSIGNAL_H
