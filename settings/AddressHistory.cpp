#include "AddressHistory.h"

#include <algorithm>

namespace {

// A gap ends the list: entries after an empty one are kept in the file but never shown.
std::size_t CountUpToFirstGap(const AddressList& list)
{
    std::size_t n = 0;
    while (n < ADDRESS_HISTORY_SIZE && !list[n].empty())
        ++n;
    return n;
}

}  // namespace

CAddressHistory::CAddressHistory(const AddressList& list) : CAddressHistory(list, CountUpToFirstGap(list)) {}

CAddressHistory::CAddressHistory(const AddressList& list, std::size_t nListed)
    : m_list(list), m_nListed(std::min(nListed, ADDRESS_HISTORY_SIZE))
{
}

CAddressHistory::Change CAddressHistory::Add(const std::string& strAddress)
{
    Change change;
    // Only what the list shows is searched, so an address stored after a gap is added again.
    const auto listedEnd = m_list.begin() + static_cast<std::ptrdiff_t>(m_nListed);
    if (std::find(m_list.begin(), listedEnd, strAddress) == listedEnd) {
        if (m_nListed == ADDRESS_HISTORY_SIZE) {
            std::move(m_list.begin() + 1, m_list.begin() + ADDRESS_HISTORY_SIZE, m_list.begin());
            change.bDropOldest = true;
            --m_nListed;
        }
        // The slot after the last shown entry, even where an entry after a gap stood.
        m_list[m_nListed] = strAddress;
        ++m_nListed;
        change.bAppend = true;
    }
    m_list[ADDRESS_HISTORY_SIZE] = strAddress;
    return change;
}

std::vector<std::string> CAddressHistory::Listed() const
{
    return {m_list.begin(), m_list.begin() + static_cast<std::ptrdiff_t>(m_nListed)};
}
