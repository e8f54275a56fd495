#include "dng/core/dng_abort_sniffer.h"

dng_abort_sniffer::~dng_abort_sniffer() = default;

void dng_abort_sniffer::SniffForAbort(dng_abort_sniffer* sniffer) {
    if (sniffer) sniffer->Sniff();
}
