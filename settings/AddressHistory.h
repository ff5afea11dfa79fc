#pragma once
// The routers of successful transfers as the window remembers them: ten entries, oldest first, then the
// most recent address. The window's router list shows the entries from the oldest up to the first empty
// one. A new address is appended to what the list shows, the oldest dropped when ten are shown; an
// address the list already shows keeps its place (compared byte for byte); either way it becomes the
// most recent address. A value without widgets, so that the rule is kept and tested in one place.

#include <cstddef>
#include <string>
#include <vector>

#include "SetData.h"

class CAddressHistory {
public:
    // From the stored list: the router list shows the entries up to the first empty one.
    explicit CAddressHistory(const AddressList& list = {});
    // From the stored list and the number of entries the router list shows now.
    CAddressHistory(const AddressList& list, std::size_t nListed);

    // What the router list must do to follow an addition.
    struct Change {
        bool bDropOldest = false;  // remove its first entry
        bool bAppend = false;      // append the address at its end
    };
    Change Add(const std::string& strAddress);

    // The list to store: the ten entries, then the most recent address.
    const AddressList& List() const { return m_list; }
    // The entries the router list shows, oldest first.
    std::vector<std::string> Listed() const;
    std::size_t ListedCount() const { return m_nListed; }
    const std::string& Last() const { return m_list[ADDRESS_HISTORY_SIZE]; }

private:
    AddressList m_list;
    std::size_t m_nListed = 0;
};
