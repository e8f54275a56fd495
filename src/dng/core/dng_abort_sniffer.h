// Lets long operations be stopped: streams and tasks ask a sniffer before each
// transfer or band of work, and a sniffer stops them by throwing (normally
// dng_error_user_canceled). A sniffer may be asked from several threads at
// once; subclasses make Sniff thread-safe.
#pragma once

class dng_abort_sniffer {
public:
    dng_abort_sniffer() = default;
    virtual ~dng_abort_sniffer();
    dng_abort_sniffer(const dng_abort_sniffer&) = delete;
    dng_abort_sniffer& operator=(const dng_abort_sniffer&) = delete;

    // A null sniffer never aborts.
    static void SniffForAbort(dng_abort_sniffer* sniffer);

protected:
    // Throws to abort; returning means "go on".
    virtual void Sniff() = 0;
};
