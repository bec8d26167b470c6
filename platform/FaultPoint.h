#pragma once
// A named place where a test can stop this process dead (SIGKILL), to prove
// what a kill at exactly that moment leaves behind. TQ_FAULT_POINT=name kills
// at the first arrival, name@N at the N-th. Unset, it costs one load.
#include <atomic>
#include <csignal>
#include <cstdlib>
#include <cstring>
#include <string_view>

namespace tallyquill::fault {

// Whether TQ_FAULT_POINT names `name`: for a place that must first set up
// what a kill there should leave.
inline bool armed(std::string_view name)
{
    static const char* const wanted = std::getenv("TQ_FAULT_POINT");
    if (!wanted)
        return false;
    const std::string_view spec(wanted);
    return spec.substr(0, spec.find('@')) == name;
}

inline void point(std::string_view name)
{
    if (!armed(name))
        return;
    const char* const at = std::strchr(std::getenv("TQ_FAULT_POINT"), '@');
    const long nth = at ? std::strtol(at + 1, nullptr, 10) : 1;
    static std::atomic<long> arrivals{0};
    if (++arrivals == nth)
        std::raise(SIGKILL);
}

} // namespace tallyquill::fault
