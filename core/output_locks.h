#pragma once

#include <array>
#include <cstdint>

// Outputs that a network client has taken for itself: while one holds an
// output, routes from every other client to it are refused. Holders are
// numbered by whoever hands them out; 0 is nobody. Nothing here is stored:
// a holder's locks end with its connection.
class OutputLocks
{
public:
    using Holder = uint64_t;

    Holder holder(int output) const { return m_holders.at(output); }
    bool free(int output) const { return holder(output) == 0; }
    // True when `who` may route to `output`: it is free or `who` holds it.
    bool mayRoute(int output, Holder who) const { return free(output) || holder(output) == who; }
    void set(int output, Holder who) { m_holders.at(output) = who; }
    // Frees every output `who` holds; true when there was one.
    bool release(Holder who)
    {
        bool any = false;
        if (who == 0)
            return false;
        for (Holder &h : m_holders) {
            if (h == who) {
                h = 0;
                any = true;
            }
        }
        return any;
    }

private:
    std::array<Holder, 4> m_holders {};
};
