// The address history's rule on its own: the most recent first in the last slot, ten entries shown
// oldest first, a repeat keeps its place, a gap ends what is shown.

#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "AddressHistory.h"

namespace {

using Strings = std::vector<std::string>;

AddressList ListOf(const Strings& entries, const std::string& last)
{
    AddressList list;
    for (std::size_t i = 0; i < entries.size(); ++i)
        list[i] = entries[i];
    list[ADDRESS_HISTORY_SIZE] = last;
    return list;
}

Strings Numbered(int nFirst, int nLast)
{
    Strings addresses;
    for (int i = nFirst; i <= nLast; ++i)
        addresses.push_back("10.0.0." + std::to_string(i));
    return addresses;
}

TEST(AddressHistoryTest, AddFollowsTheRule)
{
    struct AddCase {
        const char* pszName;
        Strings before;
        std::string last;
        std::string address;
        Strings after;       // all ten slots that matter (the rest empty)
        Strings listed;
        bool bDropOldest;
        bool bAppend;
    };
    const AddCase cases[] = {
        {"first address", {}, "", "10.0.0.1", {"10.0.0.1"}, {"10.0.0.1"}, false, true},
        {"a new address goes last", {"10.0.0.1", "10.0.0.2"}, "10.0.0.1", "10.0.0.3",
         {"10.0.0.1", "10.0.0.2", "10.0.0.3"}, {"10.0.0.1", "10.0.0.2", "10.0.0.3"}, false, true},
        {"a repeat keeps its place", {"10.0.0.1", "10.0.0.2", "10.0.0.3"}, "10.0.0.3", "10.0.0.1",
         {"10.0.0.1", "10.0.0.2", "10.0.0.3"}, {"10.0.0.1", "10.0.0.2", "10.0.0.3"}, false, false},
        {"another spelling is another address", {"10.0.0.2"}, "10.0.0.2", "10.0.0.02", {"10.0.0.2", "10.0.0.02"},
         {"10.0.0.2", "10.0.0.02"}, false, true},
        {"the eleventh drops the oldest", Numbered(1, 10), "10.0.0.10", "10.0.0.11", Numbered(2, 11),
         Numbered(2, 11), true, true},
        {"a repeat in a full list drops nothing", Numbered(1, 10), "10.0.0.10", "10.0.0.1", Numbered(1, 10),
         Numbered(1, 10), false, false},
        {"a gap takes the next address", {"10.0.0.1", "", "10.0.0.3"}, "10.0.0.1", "10.0.0.9",
         {"10.0.0.1", "10.0.0.9", "10.0.0.3"}, {"10.0.0.1", "10.0.0.9"}, false, true},
        {"an entry after a gap is not seen", {"10.0.0.1", "", "", "10.0.0.4"}, "10.0.0.1", "10.0.0.4",
         {"10.0.0.1", "10.0.0.4", "", "10.0.0.4"}, {"10.0.0.1", "10.0.0.4"}, false, true},
    };
    for (const AddCase& c : cases) {
        SCOPED_TRACE(c.pszName);
        CAddressHistory history(ListOf(c.before, c.last));
        const CAddressHistory::Change change = history.Add(c.address);
        EXPECT_EQ(change.bDropOldest, c.bDropOldest);
        EXPECT_EQ(change.bAppend, c.bAppend);
        EXPECT_EQ(history.List(), ListOf(c.after, c.address)) << "the address used is the last one in every case";
        EXPECT_EQ(history.Listed(), c.listed);
    }
}

TEST(AddressHistoryTest, TheListShowsTheEntriesUpToTheFirstGap)
{
    struct ListedCase {
        Strings stored;
        Strings listed;
    };
    const ListedCase cases[] = {
        {{}, {}},
        {{"10.0.0.1", "10.0.0.2"}, {"10.0.0.1", "10.0.0.2"}},
        {{"", "10.0.0.2"}, {}},
        {{"10.0.0.1", "", "10.0.0.3"}, {"10.0.0.1"}},
        {Numbered(1, 10), Numbered(1, 10)},
    };
    for (const ListedCase& c : cases) {
        const CAddressHistory history(ListOf(c.stored, "10.9.9.9"));
        EXPECT_EQ(history.Listed(), c.listed);
        EXPECT_EQ(history.ListedCount(), c.listed.size());
        EXPECT_EQ(history.Last(), "10.9.9.9");
    }
}

// The window passes how many entries its list shows; ten is the most there can be.
TEST(AddressHistoryTest, TheListedCountIsTakenAsGivenUpToTen)
{
    CAddressHistory history(ListOf(Numbered(1, 10), ""), 12);
    EXPECT_EQ(history.ListedCount(), 10u);
    EXPECT_TRUE(history.Add("10.0.0.99").bDropOldest);

    // A list that shows fewer than are stored: an address beyond them is not seen and overwrites the
    // slot after the last shown one.
    CAddressHistory shorter(ListOf(Numbered(1, 5), ""), 3);
    EXPECT_TRUE(shorter.Add("10.0.0.5").bAppend);
    EXPECT_EQ(shorter.List()[3], "10.0.0.5");
    EXPECT_EQ(shorter.ListedCount(), 4u);
}

}  // namespace
